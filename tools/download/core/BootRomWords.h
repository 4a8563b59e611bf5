// The boot ROM's word reads and writes as this tool uses them.
//
// A write is the boot ROM's write instruction, sent with the given time-out;
// nothing comes back. The read is the tool's own: the read instruction goes
// out (500 ms), then one receive of the four reply bytes (1000 ms) whose
// result is taken as it comes, even when fewer than four bytes arrived (the
// missing high bytes read as 0). A receive that brings nothing at all fails
// the read, so that a silent STB ends a sweep instead of stretching it over
// hours of time-outs.
#pragma once

#include "BootLink.h"
#include "FpgaSweep.h"

namespace download {

class BootRomWords : public WordAccess {
public:
    explicit BootRomWords(bootlink::JobContext& ctx, int write_timeout_ms = 500)
        : m_ctx(ctx), m_writeTimeout(write_timeout_ms) {}

    int write(uint32_t address, uint32_t value) override;
    int read(uint32_t address, uint32_t* value) override;
    // Talks to the boot ROM (a read of the strap register, whose reply is
    // dropped) so that it stops announcing itself, then drops everything it
    // sent unasked: the next read takes its own reply.
    void settle();

private:
    bootlink::JobContext& m_ctx;
    int m_writeTimeout;
};

}  // namespace download
