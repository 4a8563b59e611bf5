// The boot ROM's word reads and writes as this tool uses them.
//
// A write is the boot ROM's write instruction, sent with the given time-out;
// nothing comes back. The read is the tool's own: the read instruction goes
// out (500 ms), then one receive of the four reply bytes (1000 ms) whose
// result is taken as it comes, even when fewer than four bytes arrived (the
// missing high bytes read as 0). A receive that brings nothing at all fails
// the read, so that a silent STB ends a sweep instead of stretching it over
// hours of time-outs.
//
// Nothing is sent but the calibration's own instructions: an FPGA board need
// not decode any other address. The boot ROM's announcements are drained
// before the first instruction and once more before the first read (the
// instructions before it have made the boot ROM fall silent).
#pragma once

#include "BootLink.h"
#include "FpgaSweep.h"

namespace download {

class BootRomWords : public WordAccess {
public:
    explicit BootRomWords(bootlink::JobContext& ctx, int write_timeout_ms = 500)
        : m_ctx(ctx), m_writeTimeout(write_timeout_ms)
    {}

    int write(uint32_t address, uint32_t value) override;
    int read(uint32_t address, uint32_t* value) override;
    // Drops what the boot ROM sent unasked (its announcements), and marks
    // the context: an announcement may still stand ahead of the first reply.
    void settle();

private:
    bootlink::JobContext& m_ctx;
    int m_writeTimeout;
    bool m_drainBeforeRead = true;
};

}  // namespace download
