// Hardware-info files: the panel record and the LED map.
#include "HwInfo.h"

#include "ConfigScript.h"
#include "Workbook.h"

#include <cstring>
#include <strings.h>

namespace tessel {

int HwInfoParser::line_type(const char* text)
{
    if (!text)
        return LINE_OTHER;
    while (*text == ' ' || *text == '\t')
        ++text;
    auto prefix = [&](const char* p) { return strncasecmp(text, p, std::strlen(p)) == 0; };
    if (prefix("//"))
        return LINE_COMMENT;
    if (prefix("----"))
        return LINE_SEPARATOR;
    if (prefix("panel starts"))
        return LINE_PANEL_START;
    if (prefix("led starts"))
        return LINE_LED_START;
    return LINE_OTHER;
}

bool HwInfoParser::parse_file(uint8_t* panel, uint8_t* led, const std::string& path)
{
    // A regular file of bounded size: a device or a FIFO is never read.
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, kMaxHwInfoFile, &bytes, &why)) {
        m_report.show("error while parsing panel hw info");
        m_report.detail(why);
        return false;
    }
    return parse_text(panel, led, std::string(bytes.begin(), bytes.end()));
}

bool HwInfoParser::parse_text(uint8_t* panel, uint8_t* led, const std::string& text)
{
    m_lines = split_lines(text);
    m_pos = 0;
    return parse_lines(panel, led);
}

bool HwInfoParser::parse_lines(uint8_t* panel, uint8_t* led)
{
    bool panel_done = false, led_done = false;
    while (m_pos < m_lines.size()) {
        int type = line_type(m_lines[m_pos++].c_str());
        if (type == LINE_PANEL_START) {
            if (!fill_panel(panel)) {
                m_report.show("error while parsing panel hw info");
                return false;
            }
            panel_done = true;
        } else if (type == LINE_LED_START) {
            if (!fill_led(led)) {
                m_report.show("error while parsing led bitmap");
                return false;
            }
            led_done = true;
        }
    }
    // A file without both sections is not a hardware-info file.
    if (!panel_done) {
        m_report.show("error while parsing panel hw info");
        return false;
    }
    if (!led_done) {
        m_report.show("error while parsing led bitmap");
        return false;
    }
    return true;
}

bool HwInfoParser::fill_panel(uint8_t* panel)
{
    std::memset(panel, 0, kPanelRecordSize);
    const size_t max_values = kPanelRecordSize - 2;
    size_t count = 0;
    while (m_pos < m_lines.size()) {
        std::string line = m_lines[m_pos++];
        int type = line_type(line.c_str());
        if (type == LINE_COMMENT || type == LINE_SEPARATOR)
            continue;
        size_t cut = line.find("//");
        if (cut != std::string::npos && line.find("##") > cut)
            line = line.substr(0, cut);
        size_t end = line.find("##");
        bool last = end != std::string::npos;
        std::string body = last ? line.substr(0, end) : line;
        std::string token;
        for (char c : body) {
            if (c == ' ' || c == '\t' || c == '{' || c == '}' || c == '\r')
                continue;
            if (c != ',') {
                token += c;
                continue;
            }
            if (token.empty())
                continue;
            long long v = 0;
            if (!parse_long(token, 16, &v) || v < 0 || v > 0xFF || count >= max_values)
                return false;
            panel[2 + count++] = (uint8_t)v;
            token.clear();
        }
        if (!token.empty())
            return false;  // a value without its ","
        if (last) {
            panel[0] = (uint8_t)count;
            panel[1] = (uint8_t)(count >> 8);
            return true;
        }
    }
    return false;  // no "##"
}

bool HwInfoParser::fill_led(uint8_t* led)
{
    std::memset(led, 0, kLedMapSize);
    const size_t room = kLedMapSize - 2;
    size_t used = 0, pairs = 0;
    while (m_pos < m_lines.size()) {
        const std::string line = m_lines[m_pos++];
        int type = line_type(line.c_str());
        if (type == LINE_COMMENT || type == LINE_SEPARATOR)
            continue;
        size_t end = line.find("##");
        std::string body = end == std::string::npos ? line : line.substr(0, end);
        size_t i = 0;
        while (i < body.size()) {
            size_t q = body.find('\'', i);
            if (q == std::string::npos)
                break;
            // 'c', followed by the number and "},"
            if (q + 2 >= body.size() || body[q + 2] != '\'')
                return false;
            char ch = body[q + 1];
            size_t comma = body.find(',', q + 3);
            size_t close = body.find('}', q + 3);
            if (comma == std::string::npos || close == std::string::npos || close < comma)
                return false;
            std::string num;
            for (size_t k = comma + 1; k < close; ++k)
                if (body[k] != ' ' && body[k] != '\t')
                    num += body[k];
            long long v = 0;
            if (!parse_long(num, 16, &v) || v < 0 || v > 0xFF)
                return false;
            if (used + 2 > room)
                return false;
            led[2 + used++] = (uint8_t)ch;
            led[2 + used++] = (uint8_t)v;
            ++pairs;
            i = close + 1;
        }
        if (end != std::string::npos) {
            led[0] = (uint8_t)pairs;
            led[1] = (uint8_t)(pairs >> 8);
            return true;
        }
    }
    return false;
}

}  // namespace tessel
