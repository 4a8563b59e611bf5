// The bar-code tool's code file and burn log as the duplicate test reads
// them: every code of the file tested against the log, whole (File input)
// and by its first characters. The input is the code file, a NUL, a format
// byte (plain or quoted log) and the burn log.
#include "BurnLog.h"
#include "MemoryFile.h"
#include "StampaCodes.h"
#include "StampaPage.h"
#include "smoke.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t codes_len = nul ? size_t(nul - data) : size;
    MemoryFile code_file(data, codes_len);
    std::vector<std::string> codes;
    std::string message;
    if (!stampa::read_code_file(code_file.path(), &codes, &message))
        return 0;
    const uint8_t* rest = data + std::min(codes_len + 1, size);
    const size_t rest_len = size - size_t(rest - data);
    const bool quoted = rest_len > 0 && (rest[0] & 1);
    MemoryFile log_file(rest + (rest_len ? 1 : 0), rest_len ? rest_len - 1 : 0);
    stampa::BurnLog log(log_file.path(), quoted ? stampa::BurnLog::Format::Quoted : stampa::BurnLog::Format::Plain);
    for (size_t i = 0; i < codes.size() && i < 16; ++i) {
        const std::string& code = codes[i];
        std::string error;
        const auto whole = stampa::repeat_kind(log, stampa::InputType::File, 8, code, &error);
        const auto head = stampa::repeat_kind(log, stampa::InputType::Manual, 8, code, &error);
        if (whole == stampa::BurnLog::Seen::Burnt && head == stampa::BurnLog::Seen::No)
            std::abort();  // a code burnt whole was burnt by its first characters too
    }
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string plain = "BoxID\r\n00001234\r\n0000ABCD  \n\nK77\n";
    const std::string logs[] = {
        std::string("\0", 1) + "\0Stampa,Status\n00001234,Success\n0000abcd,Failed\n",
        std::string("\0", 1) + "\1Stampa,Status\r\n=\"00001234\",Failed\r\n=\"K77\",Success\r\n",
    };
    std::vector<std::vector<uint8_t>> seeds;
    for (const std::string& l : logs) {
        std::string s = plain + l;
        seeds.emplace_back(s.begin(), s.end());
    }
    return seeds;
}
