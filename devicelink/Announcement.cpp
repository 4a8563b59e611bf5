#include "Announcement.h"

#include <cstdlib>

namespace kv {

bool parse_sync_byte(const std::string& text, uint8_t* out)
{
    std::string t;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            t += c;
    if (t.empty())
        return false;
    if (t.size() == 1 && !(t[0] >= '0' && t[0] <= '9')) {
        *out = static_cast<uint8_t>(t[0]);
        return true;
    }
    char* end = nullptr;
    unsigned long n = std::strtoul(t.c_str(), &end, 0);
    if (!end || *end != '\0' || n > 255)
        return false;
    *out = static_cast<uint8_t>(n);
    return true;
}

AnnouncementDetector::AnnouncementDetector(uint8_t sync, int quiet_ms)
    : m_sync(sync), m_quiet(quiet_ms < 1 ? 1 : quiet_ms)
{}

void AnnouncementDetector::reset(int64_t now_ms)
{
    m_lastByte = now_ms;
    m_candidate = false;
    m_confirmed = false;
}

void AnnouncementDetector::feed(const uint8_t* bytes, size_t n, int64_t now_ms)
{
    if (m_confirmed || n == 0)
        return;
    if (announced(now_ms)) {
        m_confirmed = true;
        return;
    }
    // Whatever came now ends the quiet a candidate waited for.
    m_candidate = false;
    if (n == 1 && bytes[0] == m_sync && now_ms - m_lastByte >= m_quiet) {
        m_candidate = true;
        m_candidateAt = now_ms;
    }
    m_lastByte = now_ms;
}

bool AnnouncementDetector::announced(int64_t now_ms) const
{
    return m_confirmed || (m_candidate && now_ms - m_candidateAt >= m_quiet);
}

}  // namespace kv
