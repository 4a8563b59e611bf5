#include "FpgaBoard.h"

#include <cstdio>
#include <cstring>

namespace stbsim {

namespace {

constexpr uint32_t kPulsePhys = kFpgaPulseRegister & 0x1FFFFFFFu;

// "A-B" with lo <= A <= B <= hi.
bool parse_span(const std::string& s, int hi, int* a, int* b)
{
    int x, y, used = 0;
    if (std::sscanf(s.c_str(), "%d-%d%n", &x, &y, &used) != 2 || size_t(used) != s.size())
        return false;
    if (x < 0 || y < x || y > hi)
        return false;
    *a = x;
    *b = y;
    return true;
}

bool parse_lane(const std::string& s, FpgaWindow* w)
{
    if (s == "none") {
        *w = FpgaWindow{};
        return true;
    }
    size_t colon = s.find(':');
    if (colon == std::string::npos)
        return false;
    return parse_span(s.substr(0, colon), kFpgaClockDelays - 1, &w->clock_start, &w->clock_end) &&
           parse_span(s.substr(colon + 1), kFpgaDqsDelays - 1, &w->dqs_start, &w->dqs_end);
}

}  // namespace

bool parse_fpga_windows(const std::string& text, FpgaWindow out[2], std::string* error)
{
    size_t comma = text.find(',');
    FpgaWindow w[2];
    if (comma == std::string::npos || !parse_lane(text.substr(0, comma), &w[0]) ||
        !parse_lane(text.substr(comma + 1), &w[1])) {
        if (error)
            *error = "--fpga-windows \"" + text +
                     "\" is not C0A-C0B:D0A-D0B,C1A-C1B:D1A-D1B (clock delays 0-79, DQS delays 0-63, or none)";
        return false;
    }
    out[0] = w[0];
    out[1] = w[1];
    return true;
}

std::string fpga_ddrconf_text()
{
    char codes[256];
    std::snprintf(codes, sizeof codes,
                  "$address=80aaaaa0\n$clear0=%x\n$clock_delay0=%x\n$dqs_delay0=%x\n"
                  "$clear1=%x\n$clock_delay1=%x\n$dqs_delay1=%x\n",
                  kFpgaClear[0], kFpgaClock[0], kFpgaDqs[0], kFpgaClear[1], kFpgaClock[1], kFpgaDqs[1]);
    return std::string("# ddrconf.txt written by the Corvane virtual STB (stbsim --write-stb-files).\n"
                       "# The pulse codes of its FPGA prototype board (stbsim --platform fpga).\n") +
           codes +
           "# DDR controller set-up: index, address, value\n"
           "1 bfd70014 1\n"
           "2 bfd70000 1\n"
           "3 bfd70004 a21\n";
}

FpgaBoard::FpgaBoard(const FpgaWindow windows[2])
{
    m_win[0] = windows[0];
    m_win[1] = windows[1];
}

void FpgaBoard::on_write(uint32_t phys, uint32_t value)
{
    if (phys != kPulsePhys)
        return;
    const bool edge = m_last == 0 && value != 0;
    m_last = value;
    if (!edge)
        return;
    for (int lane = 0; lane < 2; ++lane) {
        if (value == kFpgaClear[lane]) {
            m_d.clock[lane] = 0;
            m_d.dqs[lane] = 0;
        } else if (value == kFpgaClock[lane]) {
            if (m_d.clock[lane] < kFpgaClockDelays - 1)
                ++m_d.clock[lane];  // the clock delay line ends at its last tap
        } else if (value == kFpgaDqs[lane]) {
            m_d.dqs[lane] = (m_d.dqs[lane] + 1) % kFpgaDqsDelays;
        }
    }
}

uint32_t FpgaBoard::on_read(uint32_t value) const
{
    if (!m_win[0].passes(m_d.clock[0], m_d.dqs[0]))
        value ^= 0x00000101u;
    if (!m_win[1].passes(m_d.clock[1], m_d.dqs[1]))
        value ^= 0x01010000u;
    return value;
}

void FpgaBoard::reset()
{
    m_d = FpgaDelays{};
    m_last = 0;
}

std::string FpgaBoard::status_line() const
{
    char line[128];
    std::snprintf(line, sizeof line, "fpga lane0 clock=%d dqs=%d lane1 clock=%d dqs=%d", m_d.clock[0], m_d.dqs[0],
                  m_d.clock[1], m_d.dqs[1]);
    return line;
}

}  // namespace stbsim
