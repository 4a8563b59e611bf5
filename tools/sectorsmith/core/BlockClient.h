// The block tool's exchanges with the upgrade client. They use the client's
// command and data frames (UpgClient.h) with the block tool's own retries,
// time-outs and "(block upg)" messages:
//
//   'P' client test, 'Q' 'C' slave info ("OO", length, record, CRC-32),
//   'R' prepare (0x01, block ID, length), 'S' transfer header (block ID,
//   'N' raw block or 'Z' gzip whole image, length) and the data packets,
//   'T' burn and its progress, 'U' reboot.
//
// Every operation returns 1 on success, 0 on failure (the outcome and message
// in the context).
#pragma once

#include "BootLink.h"
#include "SlaveInfo.h"

#include <cstdint>

namespace sectorsmith {

constexpr const char* kSrc = "DialogBlockUPG";

// How a platform's client differs.
struct ClientTraits {
    bool slow_slave_info = false;  // Dogwood: the record follows its length after a pause
};

// The client test: "(block upg)!! UpgClientTest SUCCESS!!" when it answers.
int block_client_test(bootlink::JobContext& ctx);

// Asks for the slave info, three times at most. A record longer than it may
// be, or one that lists more than it can, is refused at once.
int get_slave_info(bootlink::JobContext& ctx, const ClientTraits& t, SlaveInfo* out);

// Announces the block (or with kWholeFlashId the whole flash) and its
// uncompressed length; five attempts.
int block_prepare(bootlink::JobContext& ctx, const ClientTraits& t, uint8_t id, uint32_t length);

// The transfer header ('N' raw block, 'Z' compressed whole image), then the
// data in 1024-byte packets. Records ctx.transfer.
int block_transfer(bootlink::JobContext& ctx, uint8_t id, uint8_t kind, const uint8_t* data, size_t len);

// The burn: 'T' until "OO", then the progress ('B' and a percentage) until
// the client's 'F'. Other bytes ('E' among them) are ignored; an 'F' that may
// be the percentage 70 of a lost or garbled 'B' is the end only when no
// progress follows it (see BlockClient.cpp).
int block_burn(bootlink::JobContext& ctx);

// 'U', sent once; the box restarts and no reply is read.
int block_reboot(bootlink::JobContext& ctx);

}  // namespace sectorsmith
