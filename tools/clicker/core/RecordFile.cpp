#include "RecordFile.h"

#include "Text.h"

#include "RemoteRecordTable.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace clicker {

namespace {

std::string trim(const std::string& s) { return kv::trimmed(s, " \t"); }

bool parse_int32(const std::string& text, int32_t* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Takes ". Wait next round:NNNms" off a closing line's comment.
bool strip_closing(std::string* comment)
{
    static const std::string kWait = ". Wait next round:";
    size_t p = comment->rfind(kWait);
    if (p == std::string::npos || !ends_with(*comment, "ms"))
        return false;
    std::string ms = comment->substr(p + kWait.size(), comment->size() - p - kWait.size() - 2);
    int32_t v = 0;
    if (!parse_int32(ms, &v))
        return false;
    comment->resize(p);
    return true;
}

// One line of a record file; false with the reason in *why.
bool parse_line(const std::string& line, RecordLine* r, std::string* why)
{
    if (line.rfind("Key:", 0) != 0) {
        *why = "not a record (Key:..., Sleep:..., Comments:...)";
        return false;
    }
    size_t s = line.find(", Sleep:", 4);
    if (s == std::string::npos) {
        *why = "no pause (Sleep:) given";
        return false;
    }
    size_t c = line.find(", Comments:", s + 8);
    if (c == std::string::npos) {
        *why = "no Comments: field";
        return false;
    }
    std::string pause = trim(line.substr(s + 8, c - s - 8));
    if (!parse_int32(pause, &r->sleep_ms)) {
        *why = pause.empty() ? "no pause (Sleep:) given" : "the pause \"" + pause + "\" is not a whole number of ms";
        return false;
    }
    r->key = trim(line.substr(4, s - 4));
    r->comment = line.substr(c + 11);
    r->closing = strip_closing(&r->comment);
    if (!r->closing && ends_with(r->comment, "."))
        r->comment.pop_back();
    return true;
}

}  // namespace

std::string sformat(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}

std::string name_token(const std::string& name) { return name.substr(0, name.find(' ')); }

std::string record_line(const std::string& name, int sleep_ms)
{
    return sformat("Key:%10s, Sleep:%10d, Comments:%s.\n", name_token(name).c_str(), sleep_ms, name.c_str());
}

std::string closing_line(const std::string& name, int sleep_ms)
{
    return sformat("Key:%10s, Sleep:%10d, Comments:%s. Wait next round:%dms\n", name_token(name).c_str(), sleep_ms,
                   name.c_str(), sleep_ms);
}

bool parse_record_text(const std::string& text, std::vector<RecordLine>* out, std::string* error)
{
    out->clear();
    bool closed = false;
    int number = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (trim(line).empty())
            continue;
        std::string why;
        RecordLine r;
        if (closed)
            why = "a record after the closing line";
        else if (out->size() >= static_cast<size_t>(kMaxRecords))
            why = "more than " + std::to_string(kMaxRecords) + " records";
        if (!why.empty() || !parse_line(line, &r, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        closed = r.closing;
        out->push_back(std::move(r));
    }
    if (out->empty()) {
        *error = "the file holds no records";
        return false;
    }
    return true;
}

}  // namespace clicker
