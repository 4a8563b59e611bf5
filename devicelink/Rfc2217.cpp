#include "Rfc2217.h"

#include "ByteOrder.h"
#include "NetworkLine.h"
#include "SerialLine.h"
#include "SerialMonitorService.h"
#include "LineDeadline.h"

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

namespace kv {

namespace telnet {

uint8_t parity_code(int parity) { return static_cast<uint8_t>(parity >= 0 && parity <= 4 ? parity + 1 : 1); }

int parity_from_code(uint8_t code) { return code >= 1 && code <= 5 ? code - 1 : -1; }

uint8_t stop_size_code(int stop_bits) { return stop_bits == 1 ? 3 : stop_bits == 2 ? 2 : 1; }

int stop_bits_from_code(uint8_t code) { return code == 1 ? 0 : code == 2 ? 2 : code == 3 ? 1 : -1; }

void append_data(std::vector<uint8_t>& out, const uint8_t* data, size_t len, bool binary)
{
    for (size_t i = 0; i < len; ++i) {
        out.push_back(data[i]);
        if (data[i] == IAC)
            out.push_back(IAC);
        else if (data[i] == '\r' && !binary)
            out.push_back(0);
    }
}

void append_command(std::vector<uint8_t>& out, uint8_t verb, uint8_t option)
{
    out.insert(out.end(), {IAC, verb, option});
}

void append_com_port(std::vector<uint8_t>& out, uint8_t code, const std::vector<uint8_t>& value)
{
    out.insert(out.end(), {IAC, SB, kOptComPort, code});
    for (uint8_t b : value) {
        out.push_back(b);
        if (b == IAC)
            out.push_back(IAC);
    }
    out.insert(out.end(), {IAC, SE});
}

void Decoder::feed(const uint8_t* in, size_t len, std::vector<uint8_t>* data, std::vector<Event>* events)
{
    const size_t base = data->size();
    auto emit = [&](Event e) {
        e.at = data->size() - base;
        events->push_back(std::move(e));
    };
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = in[i];
        switch (m_state) {
        case State::Cr:
            m_state = State::Data;
            if (b == 0)
                break;  // CR NUL is a lone CR
            [[fallthrough]];
        case State::Data:
            if (b == IAC) {
                m_state = State::Iac;
            } else {
                data->push_back(b);
                if (b == '\r' && !m_binary)
                    m_state = State::Cr;
            }
            break;
        case State::Iac: command_byte(b, data, events); break;
        case State::Verb: {
            Event e;
            e.verb = m_verb;
            e.option = b;
            emit(std::move(e));
            m_state = State::Data;
            break;
        }
        case State::Sb:
            if (b == IAC)
                m_state = State::SbIac;
            else if (m_sb.size() < kMaxSubnegotiation + 1)
                m_sb.push_back(b);
            break;
        case State::SbIac:
            if (b == IAC) {
                if (m_sb.size() < kMaxSubnegotiation + 1)
                    m_sb.push_back(IAC);
                m_state = State::Sb;
                break;
            }
            // SE ends the subnegotiation; any other command ends it too and
            // is then taken as itself.
            if (!m_sb.empty()) {
                Event e;
                e.subnegotiation = true;
                e.option = m_sb[0];
                e.payload.assign(m_sb.begin() + 1, m_sb.end());
                emit(std::move(e));
            }
            m_sb.clear();
            m_state = State::Data;
            if (b != SE)
                command_byte(b, data, events);
            break;
        }
    }
}

void Decoder::command_byte(uint8_t b, std::vector<uint8_t>* data, std::vector<Event>*)
{
    if (b == IAC) {
        data->push_back(IAC);
        m_state = State::Data;
    } else if (b >= WILL) {
        m_verb = b;
        m_state = State::Verb;
    } else if (b == SB) {
        m_sb.clear();
        m_state = State::Sb;
    } else {
        m_state = State::Data;  // NOP, GA, data mark and the like carry nothing for us
    }
}

}  // namespace telnet

namespace {

using namespace telnet;

// Options we take on our side (WILL) and on the server's (DO).
bool ours_supported(uint8_t opt) { return opt == kOptBinary || opt == kOptSuppressGoAhead || opt == kOptComPort; }

bool theirs_supported(uint8_t opt) { return opt == kOptBinary || opt == kOptSuppressGoAhead; }

class Rfc2217Line : public SerialLine {
public:
    static constexpr size_t kMaxBuffered = 1 << 20;
    bool open(const PortUrl& url, const std::string& name, std::string* error);
    bool configure(const serialport_config_tag& cfg, std::string* error) override;
    bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort) override;
    bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms) override;
    bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms) override;
    bool flush_input() override;
    std::string error() const override { return m_tcp.error(); }

private:
    // One side of an option: enabled, and whether we asked for the change
    // (an answer to our own request is not answered again).
    struct Side {
        bool on = false;
        bool asked = false;
    };
    bool pump_locked(int wait_ms);
    void on_event_locked(const Event& e);
    void on_negotiation_locked(uint8_t verb, uint8_t opt);
    void on_com_port_locked(const std::vector<uint8_t>& payload);
    bool send_raw(const std::vector<uint8_t>& bytes);
    size_t take_locked(uint8_t* buf, size_t cap);
    // Pumps until `done` holds (checked with the input lock held) or the time
    // is up. False on time-out or a lost connection.
    bool wait_until(const std::function<bool()>& done, int timeout_ms);
    bool fail(std::string* error, const std::string& why) const;

    TcpStream m_tcp;
    std::string m_name;

    std::mutex m_outMutex;  // one writer of the connection at a time
    std::mutex m_inMutex;  // everything below
    Decoder m_decoder;
    std::deque<uint8_t> m_rx;
    std::array<Side, 256> m_us{};
    std::array<Side, 256> m_them{};
    std::atomic<bool> m_binaryOut{false};
    int m_comPort = 0;  // 1 the server takes the option, -1 it refused, 0 no answer yet
    std::array<uint32_t, kComPortCommands> m_replies{};
    std::array<std::vector<uint8_t>, kComPortCommands> m_replyValue;
    bool m_purging = false;

    serialport_config_tag m_set;  // what the server confirmed
    bool m_hasSet = false;
};

bool Rfc2217Line::fail(std::string* error, const std::string& why) const
{
    if (error)
        *error = !m_tcp.error().empty() ? m_tcp.error() : m_name + ": " + why;
    return false;
}

bool Rfc2217Line::open(const PortUrl& url, const std::string& name, std::string* error)
{
    m_name = name;
    if (!m_tcp.connect(url, name, kConnectTimeoutMs, error))
        return false;
    std::vector<uint8_t> hello;
    {
        std::lock_guard<std::mutex> in(m_inMutex);
        for (uint8_t opt : {kOptBinary, kOptSuppressGoAhead, kOptComPort}) {
            append_command(hello, WILL, opt);
            m_us[opt].asked = true;
        }
        for (uint8_t opt : {kOptBinary, kOptSuppressGoAhead}) {
            append_command(hello, DO, opt);
            m_them[opt].asked = true;
        }
    }
    if (!send_raw(hello))
        return fail(error, "cannot start the Telnet negotiation");
    if (!wait_until([this] { return m_comPort != 0; }, kRfc2217AnswerTimeoutMs))
        return fail(error, "the serial server did not answer the Telnet negotiation within " +
                               std::to_string(kRfc2217AnswerTimeoutMs / 1000) + " s (is it an RFC 2217 port?)");
    if (m_comPort < 0)
        return fail(error, "the serial server refuses the COM port control option (RFC 2217); for a raw TCP "
                           "port write socket://");
    return true;
}

bool Rfc2217Line::send_raw(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> out(m_outMutex);
    return m_tcp.send_all(bytes.data(), bytes.size(), kRfc2217AnswerTimeoutMs);
}

bool Rfc2217Line::pump_locked(int wait_ms)
{
    uint8_t buf[4096];
    long n = m_tcp.receive(buf, sizeof buf, wait_ms);
    if (n <= 0)
        return n == 0;
    std::vector<uint8_t> data;
    std::vector<Event> events;
    m_decoder.feed(buf, static_cast<size_t>(n), &data, &events);
    size_t done = 0;
    for (const Event& e : events) {
        m_rx.insert(m_rx.end(), data.begin() + long(done), data.begin() + long(e.at));
        done = e.at;
        on_event_locked(e);
    }
    m_rx.insert(m_rx.end(), data.begin() + long(done), data.end());
    // Nobody takes the input while we wait for an answer: keep the newest,
    // as a UART drops what overruns it.
    if (m_rx.size() > kMaxBuffered)
        m_rx.erase(m_rx.begin(), m_rx.begin() + long(m_rx.size() - kMaxBuffered));
    return true;
}

void Rfc2217Line::on_event_locked(const Event& e)
{
    if (!e.subnegotiation)
        on_negotiation_locked(e.verb, e.option);
    else if (e.option == kOptComPort)
        on_com_port_locked(e.payload);
}

void Rfc2217Line::on_negotiation_locked(uint8_t verb, uint8_t opt)
{
    std::vector<uint8_t> answer;
    const bool ours = verb == DO || verb == DONT;
    Side& side = ours ? m_us[opt] : m_them[opt];
    const bool want = verb == DO || verb == WILL;
    const bool supported = ours ? ours_supported(opt) : theirs_supported(opt);
    const bool asked = side.asked;
    side.asked = false;
    if (want && !supported) {
        append_command(answer, ours ? WONT : DONT, opt);  // refuse what we do not know
    } else if (want != side.on) {
        side.on = want;
        if (!asked)  // the server asked: agree (or confirm the switch-off)
            append_command(answer, ours ? (want ? WILL : WONT) : (want ? DO : DONT), opt);
    }
    if (ours && opt == kOptComPort)
        m_comPort = want ? 1 : -1;
    if (opt == kOptBinary) {
        m_binaryOut = m_us[kOptBinary].on;
        m_decoder.set_binary(m_them[kOptBinary].on);
    }
    if (!answer.empty())
        send_raw(answer);
}

void Rfc2217Line::on_com_port_locked(const std::vector<uint8_t>& payload)
{
    if (payload.empty())
        return;
    const uint8_t code = payload[0];
    if (code == kServerReply + kSignature && payload.size() == 1) {
        // The server asks who we are.
        std::vector<uint8_t> sig;
        const std::string me = "Corvane";
        append_com_port(sig, kSignature, std::vector<uint8_t>(me.begin(), me.end()));
        send_raw(sig);
        return;
    }
    if (code < kServerReply || code >= kServerReply + kComPortCommands)
        return;  // line and modem state notices, flow control: nothing we act on
    const uint8_t cmd = code - kServerReply;
    m_replyValue[cmd].assign(payload.begin() + 1, payload.end());
    ++m_replies[cmd];
    if (cmd == kPurgeData && m_purging) {
        m_rx.clear();  // everything before the confirmation predates the purge
        m_purging = false;
    }
}

bool Rfc2217Line::wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        std::lock_guard<std::mutex> in(m_inMutex);
        if (done())
            return true;
        const int left = ms_left(deadline);
        if (left <= 0 || !pump_locked(wait_slice(left, 20)))
            return false;
    }
}

bool Rfc2217Line::configure(const serialport_config_tag& cfg, std::string* error)
{
    // Settings in the order the option recommends; only what changed.
    std::vector<uint8_t> request;
    std::vector<uint8_t> sent_cmds;
    auto add = [&](uint8_t cmd, std::vector<uint8_t> value) {
        append_com_port(request, cmd, value);
        sent_cmds.push_back(cmd);
    };
    if (!m_hasSet || cfg.baud_rate != m_set.baud_rate) {
        std::vector<uint8_t> v(4);
        put_be32(v.data(), static_cast<uint32_t>(cfg.baud_rate));
        add(kSetBaudRate, v);
    }
    if (!m_hasSet || cfg.data_bits != m_set.data_bits)
        add(kSetDataSize, {static_cast<uint8_t>(cfg.data_bits)});
    if (!m_hasSet || cfg.parity != m_set.parity)
        add(kSetParity, {parity_code(cfg.parity)});
    if (!m_hasSet || cfg.stop_bits != m_set.stop_bits)
        add(kSetStopSize, {stop_size_code(cfg.stop_bits)});
    if (sent_cmds.empty())
        return m_tcp.error().empty() || fail(error, "the connection is lost");

    std::array<uint32_t, kComPortCommands> before;
    {
        std::lock_guard<std::mutex> in(m_inMutex);
        before = m_replies;
    }
    if (!send_raw(request))
        return fail(error, "cannot send the line settings");
    auto answered = [&] {
        for (uint8_t c : sent_cmds)
            if (m_replies[c] == before[c])
                return false;
        return true;
    };
    if (!wait_until(answered, kRfc2217AnswerTimeoutMs))
        return fail(error, "the serial server did not confirm the line settings within " +
                               std::to_string(kRfc2217AnswerTimeoutMs / 1000) + " s");
    std::lock_guard<std::mutex> in(m_inMutex);
    for (uint8_t c : sent_cmds) {
        const std::vector<uint8_t>& v = m_replyValue[c];
        const size_t need = c == kSetBaudRate ? 4 : 1;
        if (v.size() != need)
            return fail(error, "the serial server gave a malformed answer to a line setting");
        if (c == kSetBaudRate && get_be32(v.data()) != static_cast<uint32_t>(cfg.baud_rate))
            return fail(error, "the serial server runs the line at " + std::to_string(get_be32(v.data())) +
                                   " baud, not at " + std::to_string(cfg.baud_rate));
        if (c == kSetDataSize && v[0] != cfg.data_bits)
            return fail(error, "the serial server refused " + std::to_string(cfg.data_bits) + " data bits");
        if (c == kSetParity && parity_from_code(v[0]) != cfg.parity)
            return fail(error, "the serial server refused the parity asked for");
        if (c == kSetStopSize && stop_bits_from_code(v[0]) != cfg.stop_bits)
            return fail(error, "the serial server refused the stop bits asked for");
    }
    m_set = cfg;
    m_hasSet = true;
    return true;
}

size_t Rfc2217Line::take_locked(uint8_t* buf, size_t cap)
{
    size_t n = std::min(cap, m_rx.size());
    std::copy(m_rx.begin(), m_rx.begin() + long(n), buf);
    m_rx.erase(m_rx.begin(), m_rx.begin() + long(n));
    return n;
}

bool Rfc2217Line::read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort)
{
    *got = 0;
    const auto deadline = deadline_in(timeout_ms);
    while (*got < cap) {
        if (abort && abort->load())
            return false;
        std::lock_guard<std::mutex> in(m_inMutex);
        *got += take_locked(buf + *got, cap - *got);
        if (*got == cap)
            break;
        const int left = ms_left(deadline);
        if (!pump_locked(wait_slice(left, 20)))
            return false;
        if (left <= 0 && m_rx.empty())
            break;
    }
    return true;
}

bool Rfc2217Line::read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms)
{
    *got = 0;
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        std::lock_guard<std::mutex> in(m_inMutex);
        if (!m_rx.empty() || cap == 0) {
            *got = take_locked(buf, cap);
            return true;
        }
        const int left = ms_left(deadline);
        if (!pump_locked(wait_slice(left, 20)))
            return false;
        if (left <= 0) {
            *got = take_locked(buf, cap);
            return true;
        }
    }
}

bool Rfc2217Line::write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms)
{
    *sent = 0;
    std::vector<uint8_t> wire;
    wire.reserve(len + len / 64 + 8);
    append_data(wire, buf, len, m_binaryOut.load());
    std::lock_guard<std::mutex> out(m_outMutex);
    size_t done = 0;
    if (!m_tcp.send_all(wire.data(), wire.size(), timeout_ms, &done)) {
        // Cut inside the stream, the rest of the framing would be read
        // wrongly (half an escaped 0xFF, say): the connection is given up.
        if (done > 0)
            m_tcp.fail("the serial server stopped taking data for " + std::to_string(timeout_ms) + " ms");
        return false;
    }
    *sent = len;
    return true;
}

bool Rfc2217Line::flush_input()
{
    {
        std::lock_guard<std::mutex> in(m_inMutex);
        m_rx.clear();
        m_purging = true;
    }
    std::vector<uint8_t> purge;
    append_com_port(purge, kPurgeData, {kPurgeServerReceive});
    if (!send_raw(purge))
        return false;
    // What the server sent before it confirms the purge is dropped on arrival;
    // a server that never confirms leaves only what was here already dropped.
    const bool confirmed = wait_until([this] { return !m_purging; }, kRfc2217PurgeTimeoutMs);
    std::lock_guard<std::mutex> in(m_inMutex);
    if (!confirmed) {
        m_purging = false;
        m_rx.clear();
    }
    return m_tcp.error().empty();
}

}  // namespace

std::unique_ptr<SerialLine> open_rfc2217_line(const PortUrl& url, const std::string& name, std::string* error)
{
    auto line = std::make_unique<Rfc2217Line>();
    if (!line->open(url, name, error))
        return nullptr;
    return line;
}

}  // namespace kv
