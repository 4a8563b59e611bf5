#include "SeriesCodes.h"

#include "StampaCodes.h"

#include <cctype>

namespace stampa {

bool series_next_code(const std::string& code, const line::SeriesRule& rule, std::string* next, std::string* why)
{
    const CodeResult r = next_code(code, rule.width, rule.step, rule.hex ? Base::Hex : Base::Decimal);
    if (r.ok)
        *next = r.code;
    else if (why)
        *why = r.message;
    return r.ok;
}

std::string check_series(line::SeriesSpec& spec)
{
    if (!spec.file_codes.empty())
        return "";
    if (spec.step < 1 || spec.step > 4)
        return "the step of a code series is 1 to 4";
    if (spec.start.empty())
        return "a code series needs --start CODE or --code-file FILE";
    if (spec.width == 0)
        spec.width = static_cast<int>(spec.start.size());
    const CodeResult padded = pad_start_code(spec.start, spec.width);
    if (!padded.ok)
        return padded.message;
    for (char c : padded.code) {
        const bool digit =
            std::isdigit(static_cast<unsigned char>(c)) || (spec.hex && std::isxdigit(static_cast<unsigned char>(c)));
        if (!digit)
            return "the start code " + spec.start + " is not a " + (spec.hex ? "hexadecimal" : "decimal") + " number";
    }
    spec.start = padded.code;
    return "";
}

}  // namespace stampa
