// The FPGA prototype board (`stbsim --platform fpga`): a box whose SDRAM
// interface has two 16-bit lanes, each with a clock delay (0 to 79) and a
// DQS delay (0 to 63, wrapping) stepped by pulses on the register 0xBFD70180.
// A pulse is a write of a lane's code followed by a write of 0; the lane's
// clear code brings both of its delays back to 0. DDR reads back correctly
// in a lane's half-word only while both delays of that lane lie inside the
// lane's pass windows; otherwise that half-word reads with flipped bits.
#pragma once

#include <cstdint>
#include <string>

namespace stbsim {

// The pass windows of one lane, inclusive. A lane whose clock_start is -1
// never passes.
struct FpgaWindow {
    int clock_start = -1, clock_end = -1;
    int dqs_start = -1, dqs_end = -1;
    bool passes(int clock, int dqs) const
    {
        return clock_start >= 0 && clock >= clock_start && clock <= clock_end && dqs >= dqs_start && dqs <= dqs_end;
    }
};

// The delays of both lanes as they stand.
struct FpgaDelays {
    int clock[2] = {0, 0};
    int dqs[2] = {0, 0};
};

constexpr uint32_t kFpgaPulseRegister = 0xBFD70180;
constexpr int kFpgaClockDelays = 80;
constexpr int kFpgaDqsDelays = 64;
// The board's pulse codes (what its "ddrconf.txt" says).
constexpr uint8_t kFpgaClear[2] = {0x01, 0x10};
constexpr uint8_t kFpgaClock[2] = {0x02, 0x20};
constexpr uint8_t kFpgaDqs[2] = {0x04, 0x40};
// The windows of a board without --fpga-windows.
constexpr FpgaWindow kFpgaDefaultWindows[2] = {{20, 45, 10, 30}, {30, 60, 25, 50}};

// Parses "C0A-C0B:D0A-D0B,C1A-C1B:D1A-D1B" (clock and DQS windows of lanes 0
// and 1; "none" for a lane that never passes). False with a message when the
// text does not say two lanes within the delays' ranges.
bool parse_fpga_windows(const std::string& text, FpgaWindow out[2], std::string* error);

// The text of the board's "ddrconf.txt": its pulse codes and a few set-up
// writes of the DDR controller.
std::string fpga_ddrconf_text();
constexpr const char* kFpgaDdrconfName = "ddrconf.txt";

// The board's delay lines; the memory model calls it under its own lock.
class FpgaBoard {
public:
    explicit FpgaBoard(const FpgaWindow windows[2]);
    // A write to the box's address space (physical address).
    void on_write(uint32_t phys, uint32_t value);
    // A DDR word as read back through the lanes.
    uint32_t on_read(uint32_t value) const;
    void reset();
    FpgaDelays delays() const { return m_d; }
    // "fpga lane0 clock=N dqs=N lane1 clock=N dqs=N"
    std::string status_line() const;

private:
    FpgaWindow m_win[2];
    FpgaDelays m_d;
    uint32_t m_last = 0;
};

}  // namespace stbsim
