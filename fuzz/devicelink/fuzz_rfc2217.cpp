// The Telnet stream of an RFC 2217 serial server as the line decodes it. The
// same stream fed whole and in pieces gives the same data and events, and
// data put on the wire the way the server sends it decodes to itself. The
// first byte: bit 0 the server's binary mode, the rest the piece length.
#include "Rfc2217.h"
#include "smoke.h"

#include <cstdlib>

namespace {

using kv::telnet::Decoder;
using kv::telnet::Event;

struct Decoded {
    std::vector<uint8_t> data;
    std::vector<Event> events;  // `at` counted from the stream's start
};

Decoded decode(const uint8_t* in, size_t len, bool binary, size_t piece)
{
    Decoder d;
    d.set_binary(binary);
    Decoded out;
    for (size_t pos = 0; pos < len; pos += piece) {
        const size_t before = out.data.size(), events = out.events.size();
        d.feed(in + pos, std::min(piece, len - pos), &out.data, &out.events);
        for (size_t i = events; i < out.events.size(); ++i) {
            if (out.events[i].at > out.data.size() - before ||
                out.events[i].payload.size() > Decoder::kMaxSubnegotiation)
                std::abort();
            out.events[i].at += before;
        }
    }
    return out;
}

bool same(const Event& a, const Event& b)
{
    return a.at == b.at && a.subnegotiation == b.subnegotiation && a.verb == b.verb && a.option == b.option &&
           a.payload == b.payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool binary = data[0] & 1;
    const size_t piece = 1 + (data[0] >> 1) % 7;
    const Decoded whole = decode(data + 1, size - 1, binary, size);
    const Decoded pieces = decode(data + 1, size - 1, binary, piece);
    if (whole.data != pieces.data || whole.events.size() != pieces.events.size())
        std::abort();
    for (size_t i = 0; i < whole.events.size(); ++i)
        if (!same(whole.events[i], pieces.events[i]))
            std::abort();
    std::vector<uint8_t> wire;
    kv::telnet::append_data(wire, whole.data.data(), whole.data.size(), binary);
    const Decoded again = decode(wire.data(), wire.size(), binary, piece);
    if (again.data != whole.data || !again.events.empty())
        std::abort();
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    using namespace kv::telnet;
    std::vector<uint8_t> s{6};
    append_command(s, WILL, kOptBinary);
    append_command(s, DO, kOptComPort);
    append_com_port(s, kSetBaudRate + kServerReply, {0, 1, 0xC2, 0});
    append_com_port(s, kSetParity + kServerReply, {IAC});
    const uint8_t text[] = {'O', 'K', '\r', '\n', IAC, 'x', '\r'};
    append_data(s, text, sizeof text, false);
    s.insert(s.end(), {IAC, SB, kOptComPort, 1, 2, IAC, WONT, 3, '\r', 0});
    std::vector<uint8_t> b = s;
    b[0] = 1;
    return {s, b};
}
