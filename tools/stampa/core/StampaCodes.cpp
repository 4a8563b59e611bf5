#include "StampaCodes.h"
#include "FileOps.h"

#include "CodePage.h"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace stampa {

namespace {

std::string format_width(const char* fmt, int width)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, fmt, width);
    return buf;
}

int digit_value(char c, int radix)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < radix ? v : -1;
}

// Adds `step` to the number written in `digits` (radix 10 or 16), carrying
// through every digit; false when a character is no digit of the radix.
bool add_to_digits(std::string digits, int step, int radix, std::string* out)
{
    static const char kDigits[] = "0123456789abcdef";
    if (digits.empty())
        return false;
    std::string r(digits.size(), '0');
    for (size_t i = 0; i < digits.size(); ++i) {
        int v = digit_value(digits[i], radix);
        if (v < 0)
            return false;
        r[i] = kDigits[v];
    }
    int carry = step;
    for (size_t i = r.size(); i-- > 0 && carry;) {
        int v = digit_value(r[i], radix) + carry;
        r[i] = kDigits[v % radix];
        carry = v / radix;
    }
    while (carry) {
        r.insert(r.begin(), kDigits[carry % radix]);
        carry /= radix;
    }
    size_t nz = r.find_first_not_of('0');
    *out = nz == std::string::npos ? "0" : r.substr(nz);
    return true;
}

// The first `n` characters of a UTF-8 text.
std::string first_chars(const std::string& s, size_t n)
{
    size_t i = 0, seen = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == n)
            break;
    }
    return s.substr(0, i);
}

bool all_of(const std::string& s, int (*pred)(int))
{
    for (unsigned char c : s)
        if (!pred(c))
            return false;
    return true;
}

}  // namespace

size_t char_count(const std::string& s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;  // continuation bytes are no characters
    return n;
}

CodeResult next_code(const std::string& code, int width, int step, Base base)
{
    CodeResult r;
    int w = width > 0 ? width : static_cast<int>(code.size());
    int radix = base == Base::Hex ? 16 : 10;
    std::string sum;
    if (!add_to_digits(code, step, radix, &sum)) {
        r.message =
            base == Base::Hex ? "The bar code is not a hexadecimal number!" : "The bar code is not a decimal number!";
        return r;
    }
    if (sum.size() < static_cast<size_t>(w))
        sum.insert(0, static_cast<size_t>(w) - sum.size(), '0');
    if (sum.size() > static_cast<size_t>(w)) {
        r.message = format_width("The length of bar code is over %d", w);
        return r;
    }
    r.ok = true;
    r.code = sum;
    return r;
}

CodeResult pad_start_code(const std::string& start, int width)
{
    CodeResult r;
    size_t n = char_count(start);
    if (width > 0 && n > static_cast<size_t>(width)) {
        r.message = format_width("The number of bar code over %d!!", width);
        return r;
    }
    r.ok = true;
    r.code = start;
    if (width > 0)
        r.code.insert(0, static_cast<size_t>(width) - n, '0');
    return r;
}

std::string check_scanned_code(const std::string& text, int len_sn, const std::string& num_sys)
{
    if (len_sn > 0 && char_count(text) != static_cast<size_t>(len_sn))
        return format_width("Scan bar code error,The length of bar code is not match %d!!!\n\n", len_sn);
    std::string sys;
    for (char c : num_sys)
        if (!std::isspace(static_cast<unsigned char>(c)))
            sys += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (sys == "A")
        return all_of(text, ::isdigit) ? "" : "Scan bar code error,not Decimal number!!!\n\n";
    if (sys == "B")
        return all_of(text, ::isxdigit) ? "" : "Scan bar code error,not hexadecimal number!!!\n\n";
    if (sys == "C")
        return all_of(text, ::isalnum) ? "" : "Scan bar code error,not Only number and character!!!\n\n";
    if (sys == "D")
        return "";
    return "Configuration error,Only support character A-D!!!\n\n";
}

std::string scan_keys_check(int len_sn, const std::string& num_sys)
{
    std::string keys, hints;
    auto missing = [&](const char* key, const char* hint) {
        keys += (keys.empty() ? "" : " and ") + std::string(key);
        hints += (hints.empty() ? "" : "; ") + std::string(hint);
    };
    if (len_sn <= 0)
        missing("\"LenSN \"", "\"LenSN \" is the length of a bar code");
    if (num_sys.find_first_not_of(" \t") == std::string::npos)
        missing("\"NumSys\"", "\"NumSys\" is A for decimal digits, B hexadecimal, C letters and digits, D anything");
    if (keys.empty())
        return {};
    return "Scan input needs " + keys + " in the [Stampa] section of corvane.ini: " + hints;
}

bool read_code_file(const std::string& path, std::vector<std::string>* codes, std::string* message)
{
    codes->clear();
    std::ifstream f(kv::file_path(path), std::ios::binary);
    if (!f) {
        *message = "can not find code file!!";
        return false;
    }
    constexpr size_t kMaxCodes = 1000000;
    std::string line;
    bool first = true;
    while (std::getline(f, line) && codes->size() < kMaxCodes) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        bool heading = first && line.find("BoxID") != std::string::npos;
        first = false;
        if (!heading && !line.empty())
            codes->push_back(line);
    }
    return true;
}

std::string burnt_part(const std::string& code, int width, InputType input)
{
    if (input == InputType::File || width <= 0)
        return code;
    return first_chars(code, static_cast<size_t>(width));
}

bool to_box_code(const std::string& code, std::string* bytes, std::string* message)
{
    std::string bad;
    if (kv::CodePage::from_settings().to_box(code, *bytes, &bad))
        return true;
    *message = "The bar code holds \"" + bad + "\", which the box's code page cannot hold!";
    return false;
}

}  // namespace stampa
