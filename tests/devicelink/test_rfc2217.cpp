// Ports behind serial servers: the Telnet framing of RFC 2217 ports, and the
// lines against a scripted server on loopback whose bytes are written here by
// hand (not with the client's own encoder).
#include "NetworkLine.h"
#include "Rfc2217.h"
#include "SerialMonitorService.h"
#include "SerialPort.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kv::telnet;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

Bytes decode(kv::telnet::Decoder& d, const Bytes& in, std::vector<Event>* events = nullptr)
{
    Bytes data;
    std::vector<Event> ev;
    d.feed(in.data(), in.size(), &data, &ev);
    if (events)
        events->insert(events->end(), ev.begin(), ev.end());
    return data;
}

// One client at a time on a loopback port; `script` plays the server.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int fd)> script) : m_script(std::move(script))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listen, 1);
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            m_script(fd);
            ::close(fd);
        });
    }
    ~ScriptedServer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    std::string url(const char* scheme = "rfc2217") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }

private:
    std::function<void(int)> m_script;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

void put(int fd, const Bytes& b)
{
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

// Collects what the client sends until `want` appears in it (or 5 s pass).
Bytes until(int fd, Bytes* seen, const Bytes& want)
{
    auto end = Clock::now() + std::chrono::seconds(5);
    while (std::search(seen->begin(), seen->end(), want.begin(), want.end()) == seen->end() && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            uint8_t b[512];
            ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0)
                break;
            seen->insert(seen->end(), b, b + n);
        }
    }
    auto at = std::search(seen->begin(), seen->end(), want.begin(), want.end());
    Bytes before(seen->begin(), at);
    seen->erase(seen->begin(), at == seen->end() ? at : at + long(want.size()));
    return before;
}

bool contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

const Bytes kServerHello = {IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, kOptComPort};

Bytes sb(std::initializer_list<uint8_t> body)
{
    Bytes b = {IAC, SB, kOptComPort};
    b.insert(b.end(), body);
    b.insert(b.end(), {IAC, SE});
    return b;
}

serialport_config_tag config(int baud, int bits = 8, int parity = 0, int stop = 0)
{
    serialport_config_tag c;
    c.baud_rate = baud;
    c.data_bits = bits;
    c.parity = parity;
    c.stop_bits = stop;
    return c;
}

std::string read_all(kv::SerialPort& port, size_t n)
{
    std::string s(n, '\0');
    size_t got = 0;
    port.read(reinterpret_cast<uint8_t*>(s.data()), n, &got, 3000);
    s.resize(got);
    return s;
}

}  // namespace

TEST(TelnetFraming, DataIsEscapedBothWays)
{
    Bytes out;
    const Bytes data = {'a', 0xFF, '\r', 'b', 0xFF, 0xFF};
    append_data(out, data.data(), data.size(), true);
    EXPECT_EQ(out, (Bytes{'a', 0xFF, 0xFF, '\r', 'b', 0xFF, 0xFF, 0xFF, 0xFF}));
    out.clear();
    append_data(out, data.data(), 3, false);  // outside binary mode a CR takes a NUL
    EXPECT_EQ(out, (Bytes{'a', 0xFF, 0xFF, '\r', 0}));

    Decoder d;
    EXPECT_EQ(decode(d, {'x', IAC, IAC, '\r', 0, '\r', '\n'}), (Bytes{'x', 0xFF, '\r', '\r', '\n'}));
    d.set_binary(true);
    EXPECT_EQ(decode(d, {'\r', 0, IAC, IAC}), (Bytes{'\r', 0, 0xFF}));
    // A value with 0xFF inside a subnegotiation is doubled, and only there.
    out.clear();
    append_com_port(out, kSetBaudRate, {0, 0, 0xFF, 0x10});
    EXPECT_EQ(out, (Bytes{IAC, SB, 44, 1, 0, 0, 0xFF, 0xFF, 0x10, IAC, SE}));
}

TEST(TelnetFraming, CommandsAreFoundAcrossAnySplitAndInOrder)
{
    const Bytes stream = {'A', IAC, DO, 44,  'B', IAC,           SB,  44,   101, 0,  0, IAC, IAC,
                          0,   IAC, SE, 'C', IAC, 241 /* NOP */, IAC, WILL, 1,   'D'};
    for (size_t split = 0; split <= stream.size(); ++split) {
        Decoder d;
        std::vector<Event> ev;
        Bytes data = decode(d, Bytes(stream.begin(), stream.begin() + long(split)), &ev);
        Bytes rest = decode(d, Bytes(stream.begin() + long(split), stream.end()), &ev);
        data.insert(data.end(), rest.begin(), rest.end());
        ASSERT_EQ(data, (Bytes{'A', 'B', 'C', 'D'})) << "split at " << split;
        ASSERT_EQ(ev.size(), 3u);
        EXPECT_FALSE(ev[0].subnegotiation);
        EXPECT_EQ(ev[0].verb, DO);
        EXPECT_EQ(ev[0].option, 44);
        EXPECT_TRUE(ev[1].subnegotiation);
        EXPECT_EQ(ev[1].option, 44);
        EXPECT_EQ(ev[1].payload, (Bytes{101, 0, 0, 0xFF, 0}));
        EXPECT_EQ(ev[2].verb, WILL);
        if (split == stream.size()) {  // all in one feed: each event knows its place in the data
            EXPECT_EQ((std::vector<size_t>{ev[0].at, ev[1].at, ev[2].at}), (std::vector<size_t>{1, 2, 3}));
        }
    }
}

TEST(TelnetFraming, AHostileSubnegotiationIsCutAndTheStreamGoesOn)
{
    Decoder d;
    Bytes in = {IAC, SB, 44};
    in.insert(in.end(), 100000, 'z');
    in.insert(in.end(), {IAC, SE, 'o', 'k'});
    std::vector<Event> ev;
    EXPECT_EQ(decode(d, in, &ev), (Bytes{'o', 'k'}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_LE(ev[0].payload.size(), Decoder::kMaxSubnegotiation);
    // A subnegotiation cut short by another command ends there.
    ev.clear();
    EXPECT_EQ(decode(d, {IAC, SB, 44, 112, 1, IAC, DO, 0, 'x'}, &ev), (Bytes{'x'}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].payload, (Bytes{112, 1}));
    EXPECT_EQ(ev[1].verb, DO);
}

TEST(PortNames, UrlsArePickedByTheirSchemeAndCheckedWhole)
{
    kv::PortUrl u;
    std::string err;
    ASSERT_TRUE(kv::parse_port_url("rfc2217://box-server.lan:4001", &u, &err)) << err;
    EXPECT_EQ(u.scheme, kv::PortUrlScheme::Rfc2217);
    EXPECT_EQ(u.host, "box-server.lan");
    EXPECT_EQ(u.port, 4001);
    ASSERT_TRUE(kv::parse_port_url("SOCKET://[::1]:7000", &u, &err)) << err;
    EXPECT_EQ(u.scheme, kv::PortUrlScheme::Socket);
    EXPECT_EQ(u.host, "::1");
    for (const char* bad : {"rfc2217://host", "rfc2217://:4000", "socket://h:0", "socket://h:65536", "socket://h:12x",
                            "rfc2217://[::1:4000", "rfc2217://a/b:1"}) {
        EXPECT_FALSE(kv::parse_port_url(bad, &u, &err)) << bad;
        EXPECT_NE(err.find(bad), std::string::npos);
    }
    EXPECT_TRUE(kv::is_network_port("rfc2217://h:1"));
    EXPECT_FALSE(kv::is_network_port("/dev/ttyUSB0"));
    kv::SerialPort port;
    EXPECT_FALSE(port.open("rfc2217://nohost", &err));
    EXPECT_NE(err.find("TCP port"), std::string::npos);
}

TEST(Rfc2217Line, NegotiatesSetsTheLineAndEscapesData)
{
    Bytes seen;
    Bytes settings, data_in;
    ScriptedServer server([&](int fd) {
        put(fd, kServerHello);  // as a serial server greets: also an ECHO we do not want
        until(fd, &seen, {IAC, WILL, kOptComPort});
        // The four settings come in the recommended order; answer with what was set.
        settings = until(fd, &seen, {IAC, SB, 44, 4, 2, IAC, SE});
        put(fd, sb({101, 0, 0, 0x96, 0}));
        put(fd, sb({102, 7}));
        put(fd, sb({103, 3}));
        put(fd, sb({104, 2}));
        data_in = until(fd, &seen, {'E', 'N', 'D'});
        put(fd, {'o', 'u', 't', IAC, IAC, '\r', 0, 'E'});
        Bytes more;
        until(fd, &more, {'Q'});
    });
    kv::SerialPort port;
    std::string err;
    ASSERT_TRUE(port.open(server.url(), &err)) << err;
    ASSERT_TRUE(port.configure(config(38400, 7, 2, 2), &err)) << err;
    EXPECT_TRUE(contains(settings, {IAC, DONT, 1})) << "the server's ECHO must be refused";
    EXPECT_TRUE(contains(settings, sb({1, 0, 0, 0x96, 0})));
    EXPECT_TRUE(contains(settings, sb({2, 7})));
    EXPECT_TRUE(contains(settings, sb({3, 3})));  // even

    const Bytes payload = {0xFF, '\r', 'x', 'E', 'N', 'D'};
    size_t sent = 0;
    ASSERT_TRUE(port.write(payload.data(), payload.size(), &sent, 1000));
    EXPECT_EQ(sent, payload.size());
    // Binary both ways (the server said DO and WILL BINARY): CR NUL is data.
    EXPECT_EQ(read_all(port, 6), std::string("out\xff\r\0", 6));
    size_t qs;
    port.write(reinterpret_cast<const uint8_t*>("Q"), 1, &qs, 1000);
    for (int i = 0; i < 100 && data_in.empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(data_in, (Bytes{0xFF, 0xFF, '\r', 'x'}));
}

TEST(Rfc2217Line, PurgeDropsWhatCameBeforeTheServerConfirmedIt)
{
    Bytes seen;
    ScriptedServer server([&](int fd) {
        put(fd, kServerHello);
        until(fd, &seen, {IAC, WILL, kOptComPort});
        put(fd, {'o', 'l', 'd'});
        until(fd, &seen, sb({12, 1}));
        put(fd, {'s', 't', 'a', 'l', 'e'});
        Bytes ack = sb({112, 1});
        ack.insert(ack.end(), {'n', 'e', 'w'});
        put(fd, ack);
        Bytes more;
        until(fd, &more, {'Q'});
    });
    kv::SerialPort port;
    std::string err;
    ASSERT_TRUE(port.open(server.url(), &err)) << err;
    // "old" comes before the confirmation whenever it arrives: TCP keeps order.
    ASSERT_TRUE(port.flush_input());
    EXPECT_EQ(read_all(port, 3), "new");
    size_t qs;
    port.write(reinterpret_cast<const uint8_t*>("Q"), 1, &qs, 1000);
}

TEST(Rfc2217Line, RefusalsSilenceAndALostConnectionAreClearFailures)
{
    std::string err;
    {
        ScriptedServer refuses([](int fd) {
            put(fd, {IAC, DONT, kOptComPort});
            Bytes seen;
            until(fd, &seen, {'Q'});
        });
        kv::SerialPort port;
        EXPECT_FALSE(port.open(refuses.url(), &err));
        EXPECT_NE(err.find("refuses the COM port control option"), std::string::npos) << err;
    }
    {
        ScriptedServer silent([](int fd) {
            Bytes seen;
            until(fd, &seen, {'Q'});
        });
        kv::SerialPort port;
        auto t0 = Clock::now();
        EXPECT_FALSE(port.open(silent.url(), &err));
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kv::kRfc2217AnswerTimeoutMs - 100));
        EXPECT_NE(err.find("did not answer the Telnet negotiation"), std::string::npos) << err;
    }
    {
        // The server keeps another rate than asked for, then hangs up.
        Bytes seen;
        ScriptedServer other_rate([&](int fd) {
            put(fd, kServerHello);
            until(fd, &seen, {IAC, SB, 44, 4, 1, IAC, SE});
            put(fd, sb({101, 0, 1, 0xC2, 0}));
            put(fd, sb({102, 8}));
            put(fd, sb({103, 1}));
            put(fd, sb({104, 1}));
            put(fd, {'b', 'y', 'e'});
        });
        kv::SerialPort port;
        ASSERT_TRUE(port.open(other_rate.url(), &err)) << err;
        EXPECT_FALSE(port.configure(config(38400), &err));
        EXPECT_NE(err.find("runs the line at 115200 baud, not at 38400"), std::string::npos) << err;
        EXPECT_EQ(read_all(port, 3), "bye");
        uint8_t b[4];
        size_t got = 0;
        auto t0 = Clock::now();
        bool ok = true;
        while (ok && Clock::now() - t0 < std::chrono::seconds(5))
            ok = port.read(b, sizeof b, &got, 100);
        EXPECT_FALSE(ok);
        EXPECT_NE(port.error().find("closed the connection"), std::string::npos) << port.error();
        size_t sent = 0;
        EXPECT_FALSE(port.write(b, 1, &sent, 100));
    }
    kv::SerialPort nobody;
    EXPECT_FALSE(nobody.open("rfc2217://127.0.0.1:1", &err));
    EXPECT_NE(err.find("cannot connect"), std::string::npos) << err;
}

TEST(SocketLine, CarriesBytesUntouchedAndKeepsTheServersSettings)
{
    Bytes got;
    ScriptedServer server([&](int fd) {
        put(fd, {IAC, '\r', 0});
        Bytes seen;
        got = until(fd, &seen, {'Q'});
    });
    kv::SerialPort port;
    std::string err;
    ASSERT_TRUE(port.open(server.url("socket"), &err)) << err;
    EXPECT_TRUE(port.configure(config(115200), &err)) << err;
    EXPECT_TRUE(port.configure(config(115200), &err)) << err;
    EXPECT_FALSE(port.configure(config(38400), &err));
    EXPECT_NE(err.find("raw TCP port"), std::string::npos) << err;
    EXPECT_EQ(read_all(port, 3), std::string("\xff\r\0", 3));
    size_t sent = 0;
    ASSERT_TRUE(port.write(reinterpret_cast<const uint8_t*>("\xff\rQ"), 3, &sent, 1000));
    for (int i = 0; i < 200 && got.empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(got, (Bytes{0xFF, '\r'}));
}

TEST(PortNames, ServerPortsFromTheEnvironmentAndTheSettingsFile)
{
    const std::string dir = ::testing::TempDir() + "/rfc2217_ports_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    setenv("CORVANE_HOME", dir.c_str(), 1);
    std::ofstream(dir + "/corvane.ini") << "[SerialSvc]\nPorts = rfc2217://[::1]:4001; /dev/pts/77\n";
    setenv("CORVANE_PORTS", "/dev/pts/88:rfc2217://127.0.0.1:4002:socket://server.lan:7000:/dev/pts/89", 1);
    {
        CSerialMonitorSerivce svc;
        ASSERT_EQ(svc.SMS_Init(), 1);
        for (const char* name : {"rfc2217://[::1]:4001", "/dev/pts/77", "/dev/pts/88", "rfc2217://127.0.0.1:4002",
                                 "socket://server.lan:7000", "/dev/pts/89"})
            EXPECT_GE(svc.SMS_FindPort(name), 0) << name;
        EXPECT_LT(svc.SMS_FindPort("rfc2217"), 0);
        EXPECT_LT(svc.SMS_FindPort("//127.0.0.1"), 0);
        std::vector<serialport_info_tag> info;
        svc.SMS_GetCurSvcParam(nullptr, &info, nullptr);
        EXPECT_EQ(info[size_t(svc.SMS_FindPort("rfc2217://127.0.0.1:4002"))].friendly_name, "RFC 2217 serial server");
    }
    unsetenv("CORVANE_PORTS");
    unsetenv("CORVANE_HOME");
    std::filesystem::remove_all(dir);
}
