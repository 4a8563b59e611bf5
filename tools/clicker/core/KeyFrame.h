// How a remote-control key travels to the box over the serial line.
//
// The host sends one 11-byte frame per key, numbers little-endian:
//
//   0  '#' (0x23)
//   1  'K' (0x4B)
//   2  4, the payload length
//   3  key value, 32-bit signed
//   7  CRC-32 of bytes 1..6 (kv::crc32: reflected 0xEDB88320, preset
//      0xFFFFFFFF, no final complement; the clients' frame CRC)
//
// The box's receiver answers with two bytes: 'O' 'K' when it took the key,
// 'E' 0x01 when the frame arrived damaged, 'E' 0x02 when it refuses the key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace clicker {

inline constexpr size_t kKeyFrameSize = 11;
inline constexpr size_t kKeyReplySize = 2;

// The results of send_key: 0 is success, every other value an error code.
enum SendKeyResult : int {
    kSendOk = 0,
    kSendNoPort = 1,  // no service, or the port given is not open
    kSendWriteFailed = 2,  // the frame did not go out
    kSendNoAnswer = 3,  // the box did not answer in time
    kSendRefused = 4,  // the box refused the key ('E' 0x02)
    kSendDamaged = 5,  // the box received a damaged frame ('E' 0x01)
    kSendBadAnswer = 6,  // an answer that is neither of the above
    kSendStopped = 7,  // the caller stopped waiting for the answer
};

std::array<uint8_t, kKeyFrameSize> build_key_frame(int32_t value);
// The send_key result an answer stands for.
int decode_key_reply(const uint8_t reply[kKeyReplySize]);
// A short English text for a send_key result.
const char* send_key_error_text(int result);

}  // namespace clicker
