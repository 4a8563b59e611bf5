// What the STB programs share: the fault reactions on a request and its
// reply, the stand-in program load and the limits every loader keeps.
#pragma once

#include "SimInternal.h"

#include <Platform.h>

namespace stbsim {

constexpr size_t kMaxImage = 32u << 20;  // largest program the box loads
constexpr uint32_t kMaxTransfer = 64u << 20;  // 65536 frames of 1024 bytes
constexpr uint64_t kMaxDump = 256u << 20;
constexpr uint32_t kMaxFlashImage = 256u << 20;  // no flash is larger; keeps a gzip bomb out
constexpr int kGapMs = 2000;  // longest pause inside one frame or image

// The byte a step put back, or else the next one from the line.
int take(Box& b, int& pending);

inline const bootlink::Platform& platform_of(const Box& b) { return bootlink::platform(b.opt.platform); }

// What a fault does to the event that selected it.
struct Reaction {
    bool lost = false;  // the box was not listening: the request is gone
    bool drop = false;  // the request was handled, its reply is not sent
    int delay_ms = 0;
    int lose_byte = -1;  // this byte of the reply goes missing on the line
    int trickle_ms = 0;  // the reply goes out one byte at a time
};

// The reaction of the faults that select event `n` of kind `on` (command
// `cmd`, or -1). A reset fault throws Interrupt.
Reaction react(Box& b, FaultOn on, uint64_t n, int cmd);

// Puts bytes on the line as a fault has them: one of them lost, or one at a
// time. `reply`: the box's processing delay comes first.
void send(Box& b, const Reaction& re, const uint8_t* data, size_t n, bool reply = true);

// The reply to a request the fault reaction selected: dropped, delayed, or sent.
void answer_with(Box& b, const Reaction& re, const std::vector<uint8_t>& v);

// True (and counted) when a fault of kind `k` fires on event `n`.
bool fault(Box& b, FaultKind k, FaultOn on, uint64_t n, FaultSpec* f = nullptr);

// Reads a stand-in image whose first header bytes are already in `img`.
// False (refused as noise) on a bad header, a break or a CRC error.
bool read_standin(Box& b, std::vector<uint8_t>& img, StandinHeader* h);

}  // namespace stbsim
