#include "KvLogRecord.h"

#include "FileOps.h"

#include "ByteOrder.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv {

namespace {

// Longest prefix of at most `limit` bytes that does not cut a UTF-8 sequence.
size_t utf8_cut(const std::string& s, size_t pos, size_t limit)
{
    size_t n = std::min(limit, s.size() - pos);
    if (pos + n >= s.size())
        return n;
    size_t back = 0;
    // Step back over continuation bytes (at most three) to a sequence start.
    while (back < 3 && n - back > 0 && (static_cast<uint8_t>(s[pos + n - back]) & 0xC0) == 0x80)
        ++back;
    if ((static_cast<uint8_t>(s[pos + n - back]) & 0xC0) == 0x80 || back == n)
        return n;  // not UTF-8 after all: cut where the limit says
    return n - back;
}

}  // namespace

std::vector<std::vector<uint8_t>> encode_log_records(const LogRecord& rec)
{
    std::vector<std::vector<uint8_t>> out;
    size_t pos = 0;
    do {
        size_t n = utf8_cut(rec.text, pos, kLogMaxTextPerRecord);
        std::vector<uint8_t> r(kLogHeaderSize + n + 1, 0);
        put_le32(&r[0], static_cast<uint32_t>(r.size()));
        put_le32(&r[4], static_cast<uint32_t>(rec.kind));
        put_le32(&r[8], static_cast<uint32_t>(rec.line));
        put_le32(&r[12], static_cast<uint32_t>(rec.pid));
        std::memcpy(&r[16], rec.source.data(), std::min<size_t>(rec.source.size(), 16));
        put_le32(&r[32], static_cast<uint32_t>(n));
        if (n)
            std::memcpy(&r[36], rec.text.data() + pos, n);
        out.push_back(std::move(r));
        pos += n;
    } while (pos < rec.text.size());
    return out;
}

bool decode_log_record(const uint8_t* data, size_t len, LogRecord* out)
{
    if (!data || len < kLogHeaderSize || len >= kLogRecordLimit)
        return false;
    uint32_t text_len = get_le32(data + 32);
    if (text_len > len - kLogHeaderSize)
        return false;
    out->kind = static_cast<int>(get_le32(data + 4));
    out->line = static_cast<int>(get_le32(data + 8));
    out->pid = static_cast<int>(get_le32(data + 12));
    const char* src = reinterpret_cast<const char*>(data + 16);
    out->source.assign(src, strnlen(src, 16));
    const char* text = reinterpret_cast<const char*>(data + 36);
    // The text ends at its length or at an earlier terminating zero.
    out->text.assign(text, strnlen(text, text_len));
    return true;
}

DailyLogFile::DailyLogFile(std::string folder, std::function<long long()> now_seconds)
    : m_folder(std::move(folder)), m_now(std::move(now_seconds))
{
    if (!m_now)
        m_now = [] { return static_cast<long long>(std::time(nullptr)); };
}

std::string DailyLogFile::file_name_for(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[64];
    std::snprintf(name, sizeof(name), "KvPLog_%04u%02u%02u.txt", static_cast<unsigned>(tm.tm_year + 1900),
                  static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday));
    return name;
}

std::string DailyLogFile::current_path() const
{
    std::string dir = m_folder.empty() ? std::string(".") : m_folder;
    if (dir.back() != '/')
        dir += '/';
    return dir + file_name_for(static_cast<std::time_t>(m_now()));
}

bool DailyLogFile::append(const char* text, size_t len)
{
    if (!text || len == 0)
        return true;
    std::string out;
    out.reserve(len + len / 16 + 2);
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == '\0')
            break;
        if (c == '\r')
            continue;
        if (c == '\n')
            out += "\r\n";
        else
            out += c;
    }
    if (out.empty())
        return true;
    return append_to_file(current_path(), out, false);
}

}  // namespace kv
