#include "KeyFrame.h"

#include <ByteOrder.h>
#include <kvcrc.h>

namespace clicker {

std::array<uint8_t, kKeyFrameSize> build_key_frame(int32_t value)
{
    std::array<uint8_t, kKeyFrameSize> f{};
    f[0] = '#';
    f[1] = 'K';
    f[2] = 4;
    kv::put_le32(&f[3], static_cast<uint32_t>(value));
    kv::put_le32(&f[7], kv::crc32(&f[1], 6));
    return f;
}

int decode_key_reply(const uint8_t reply[kKeyReplySize])
{
    if (reply[0] == 'O' && reply[1] == 'K')
        return kSendOk;
    if (reply[0] == 'E' && reply[1] == 0x02)
        return kSendRefused;
    if (reply[0] == 'E' && reply[1] == 0x01)
        return kSendDamaged;
    return kSendBadAnswer;
}

const char* send_key_error_text(int result)
{
    switch (result) {
    case kSendOk: return "sent";
    case kSendNoPort: return "the port is not open";
    case kSendWriteFailed: return "the key did not go out";
    case kSendNoAnswer: return "the box did not answer";
    case kSendRefused: return "the box refused the key";
    case kSendDamaged: return "the box received a damaged frame";
    case kSendBadAnswer: return "the box gave an answer that makes no sense";
    case kSendStopped: return "stopped";
    }
    return "unknown error";
}

}  // namespace clicker
