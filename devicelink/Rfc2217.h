// Ports behind a serial server that speaks Telnet with the COM port control
// option (RFC 2217): the Telnet framing both ways, and the line that uses it.
//
// On the wire, data bytes 0xFF are doubled (IAC IAC); while a direction is
// not in binary mode a CR is followed by NUL. Line settings travel as
// subnegotiations IAC SB 44 <command> <value> IAC SE, and the server answers
// each with the command's code + 100 and the value it actually set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kv {

class SerialLine;
struct PortUrl;

namespace telnet {

constexpr uint8_t IAC = 255;
constexpr uint8_t DONT = 254;
constexpr uint8_t DO = 253;
constexpr uint8_t WONT = 252;
constexpr uint8_t WILL = 251;
constexpr uint8_t SB = 250;
constexpr uint8_t SE = 240;

constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptSuppressGoAhead = 3;
constexpr uint8_t kOptComPort = 44;

// COM port commands from client to server; the server answers with the same
// code + kServerReply.
enum ComPortCommand : uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kPurgeData = 12,
    kComPortCommands = 13,
};
constexpr uint8_t kServerReply = 100;
// PURGE-DATA values.
constexpr uint8_t kPurgeServerReceive = 1;

// Our parity (0 none, 1 odd, 2 even, 3 mark, 4 space) and stop bits (0 one,
// 1 one and a half, 2 two) as the option codes them, and back (-1: unknown).
uint8_t parity_code(int parity);
int parity_from_code(uint8_t code);
uint8_t stop_size_code(int stop_bits);
int stop_bits_from_code(uint8_t code);

// Appends line data as it goes on the wire.
void append_data(std::vector<uint8_t>& out, const uint8_t* data, size_t len, bool binary);
// IAC <verb> <option>.
void append_command(std::vector<uint8_t>& out, uint8_t verb, uint8_t option);
// IAC SB 44 <code> <value, IAC doubled> IAC SE.
void append_com_port(std::vector<uint8_t>& out, uint8_t code, const std::vector<uint8_t>& value);

struct Event {
    size_t at = 0;  // how many data bytes of the same feed came before it
    bool subnegotiation = false;
    uint8_t verb = 0;  // DO, DONT, WILL, WONT (negotiation)
    uint8_t option = 0;
    std::vector<uint8_t> payload;  // subnegotiation: the bytes after the option
};

// Splits what the server sends into line data and Telnet events, across any
// split of the stream. Subnegotiations longer than kMaxSubnegotiation bytes
// are cut there.
class Decoder {
public:
    static constexpr size_t kMaxSubnegotiation = 256;
    void feed(const uint8_t* in, size_t len, std::vector<uint8_t>* data, std::vector<Event>* events);
    // The server's direction is binary: a CR is data like any other byte.
    void set_binary(bool on) { m_binary = on; }

private:
    void command_byte(uint8_t b, std::vector<uint8_t>* data, std::vector<Event>* events);
    enum class State { Data, Cr, Iac, Verb, Sb, SbIac };
    State m_state = State::Data;
    uint8_t m_verb = 0;
    bool m_binary = false;
    std::vector<uint8_t> m_sb;
};

}  // namespace telnet

// How long the server may take to answer the negotiation and each setting.
constexpr int kRfc2217AnswerTimeoutMs = 3000;
// How long a purge may wait for the server's confirmation.
constexpr int kRfc2217PurgeTimeoutMs = 1000;

std::unique_ptr<SerialLine> open_rfc2217_line(const PortUrl& url, const std::string& name, std::string* error);

}  // namespace kv
