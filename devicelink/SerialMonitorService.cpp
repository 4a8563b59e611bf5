#include "SerialMonitorService.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "NetworkLine.h"
#include "SerialPort.h"
#include "SystemPorts.h"

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace {

std::atomic<CSerialMonitorSerivce*> g_current{nullptr};

// Ports separated by ':', which a serial server's port name also holds
// ("rfc2217://HOST:PORT" arrives as "rfc2217", "//HOST", "PORT").
std::vector<std::string> split_port_list(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string p;
    while (std::getline(ss, p, ':'))
        parts.push_back(p);
    std::vector<std::string> out;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string port = parts[i];
        if (i + 2 < parts.size() && parts[i + 1].rfind("//", 0) == 0 && kv::is_network_port(port + "://")) {
            port += ":" + parts[i + 1] + ":" + parts[i + 2];
            i += 2;
        }
        if (!port.empty())
            out.push_back(port);
    }
    return out;
}

}  // namespace

namespace kv {

CSerialMonitorSerivce* current_serial_service() { return g_current.load(); }

void set_current_serial_service(CSerialMonitorSerivce* svc) { g_current.store(svc); }

const std::vector<int>& supported_baud_rates()
{
    static const std::vector<int> rates = {110,   300,   600,   1200,  2400,  4800,  9600,
                                           14400, 19200, 38400, 56000, 57600, 115200};
    return rates;
}

}  // namespace kv

CSerialMonitorSerivce::CSerialMonitorSerivce() = default;

CSerialMonitorSerivce::~CSerialMonitorSerivce()
{
    SMS_Deinit();
    if (kv::current_serial_service() == this)
        kv::set_current_serial_service(nullptr);
}

int CSerialMonitorSerivce::SMS_Init()
{
    if (m_inited.exchange(true))
        return 1;
    CKvBasicCfgIni ini;
    if (ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"))) {
        uint8_t b;
        if (kv::parse_sync_byte(ini.GetValue("SerialSvc", "SyncByte"), &b))
            m_syncByte = b;
        std::string quiet = ini.GetValue("SerialSvc", "AnnounceQuietMs");
        char* end = nullptr;
        long q = std::strtol(quiet.c_str(), &end, 10);
        if (!quiet.empty() && end && *end == '\0' && q >= 1 && q <= 1000)
            m_quietMs = static_cast<int>(q);
        std::string extra = ini.GetValue("SerialSvc", "Ports");
        std::stringstream ss(extra);
        std::string p;
        while (std::getline(ss, p, ';')) {
            std::string t;
            for (char c : p)
                if (c != ' ' && c != '\t' && c != '\r')
                    t += c;
            if (!t.empty())
                SMS_AddPort(t);
        }
    }
    // Ports named by the environment (e.g. a virtual STB's pseudo-terminal).
    if (const char* env = std::getenv("CORVANE_PORTS"))
        for (const std::string& p : split_port_list(env))
            SMS_AddPort(p);
    int count = 0;
    SMS_SearchAllSerialPorts(&count, nullptr);
    m_quit = false;
    try {
        m_reader = std::thread([this, tag = m_logTag] {
            kv::log_set_thread_tag(tag);
            reader_loop();
        });
    } catch (...) {
        m_inited = false;
        set_error("cannot start the serial reader thread");
        return 0;
    }
    return 1;
}

int CSerialMonitorSerivce::SMS_Deinit()
{
    m_quit = true;
    if (m_reader.joinable())
        m_reader.join();
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = std::move(m_port);
        m_openIndex = -1;
    }
    if (port) {
        std::lock_guard<std::mutex> r(m_readMutex);
        std::lock_guard<std::mutex> w(m_writeMutex);
        port->close();
    }
    m_inited = false;
    return 1;
}

int CSerialMonitorSerivce::SMS_AddPort(const std::string& path)
{
    if (path.empty())
        return -1;
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i].name == path)
            return static_cast<int>(i);
    serialport_info_tag info;
    info.name = path;
    info.friendly_name = path.rfind("/dev/pts/", 0) == 0 ? "pseudo-terminal " + path : path;
    if (kv::is_network_port(path))
        info.friendly_name = kv::port_url_scheme(path) == kv::PortUrlScheme::Rfc2217 ? "RFC 2217 serial server"
                                                                                     : "serial server, raw TCP";
    m_ports.push_back(info);
    return static_cast<int>(m_ports.size() - 1);
}

int CSerialMonitorSerivce::SMS_FindPort(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i].name == path)
            return static_cast<int>(i);
    return -1;
}

int CSerialMonitorSerivce::SMS_SearchAllSerialPorts(int* count, std::vector<serialport_info_tag>* info)
{
    const std::vector<std::pair<std::string, std::string>> found = kv::system_serial_ports();
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (auto& [name, desc] : found) {
        bool known = false;
        for (auto& p : m_ports)
            if (p.name == name) {
                p.friendly_name = desc;
                known = true;
            }
        if (!known) {
            serialport_info_tag t;
            t.name = name;
            t.friendly_name = desc;
            m_ports.push_back(t);
        }
    }
    if (count)
        *count = static_cast<int>(m_ports.size());
    if (info)
        *info = m_ports;
    return 1;
}

int CSerialMonitorSerivce::SMS_GetCurSvcParam(int* count, std::vector<serialport_info_tag>* info,
                                              serialport_config_tag* config)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (count)
        *count = static_cast<int>(m_ports.size());
    if (info)
        *info = m_ports;
    if (config)
        *config = m_CurConfig;
    return 1;
}

std::vector<int> CSerialMonitorSerivce::SMS_IsPortOpen()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    std::vector<int> open(m_ports.size(), 0);
    if (m_port && m_openIndex >= 0 && static_cast<size_t>(m_openIndex) < open.size())
        open[static_cast<size_t>(m_openIndex)] = 1;
    return open;
}

int CSerialMonitorSerivce::SMS_NumComPortOpen()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_port ? 1 : 0;
}

int CSerialMonitorSerivce::SMS_OpenPort(const serialport_config_tag& config)
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (config.port_index < 0 || static_cast<size_t>(config.port_index) >= m_ports.size()) {
            m_lastError = "no port with index " + std::to_string(config.port_index);
            return 0;
        }
        path = m_ports[static_cast<size_t>(config.port_index)].name;
    }
    std::string err;
    if (!kv::SerialPort::validate(config, &err)) {
        set_error(err);
        return 0;
    }
    // One line at a time: a port already open is closed first.
    {
        int open_index;
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            open_index = m_port ? m_openIndex : -1;
        }
        if (open_index >= 0)
            SMS_ClosePort(open_index);
    }
    auto port = std::make_shared<kv::SerialPort>();
    if (!port->open(path, &err) || !port->configure(config, &err)) {
        set_error(err);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_port = port;
    m_openIndex = config.port_index;
    m_CurConfig = config;
    m_ports[static_cast<size_t>(config.port_index)].last = config;
    m_lastError.clear();
    m_reportedLineError.clear();
    return 1;
}

int CSerialMonitorSerivce::SMS_ClosePort(int port_index)
{
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_port || port_index != m_openIndex) {
            m_lastError = "port " + std::to_string(port_index) + " is not open";
            return 0;
        }
        port = std::move(m_port);
        m_openIndex = -1;
    }
    // Wait for a read or write in progress to end before the line goes.
    std::lock_guard<std::mutex> r(m_readMutex);
    std::lock_guard<std::mutex> w(m_writeMutex);
    port->close();
    return 1;
}

int CSerialMonitorSerivce::SMS_ChangeBaudrate(const serialport_config_tag& config)
{
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = m_port;
    }
    if (!port) {
        set_error("no port is open");
        return 0;
    }
    serialport_config_tag cfg = current_config();
    cfg.baud_rate = config.baud_rate;
    std::string err;
    std::lock_guard<std::mutex> w(m_writeMutex);
    if (!port->configure(cfg, &err)) {
        set_error(err);
        // Put the line back as it was so it is never left half-set.
        port->configure(current_config(), nullptr);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_CurConfig.baud_rate = cfg.baud_rate;
    if (m_openIndex >= 0 && static_cast<size_t>(m_openIndex) < m_ports.size())
        m_ports[static_cast<size_t>(m_openIndex)].last.baud_rate = cfg.baud_rate;
    return 1;
}

int CSerialMonitorSerivce::SMS_Send(const void* buf, uint32_t len, uint32_t* sent, int timeout_ms, int)
{
    if (sent)
        *sent = 0;
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = m_port;
    }
    if (!port || (!buf && len)) {
        set_error("no port is open");
        return 0;
    }
    std::lock_guard<std::mutex> w(m_writeMutex);
    if (!port->is_open())
        return 0;
    size_t n = 0;
    bool ok = port->write(static_cast<const uint8_t*>(buf), len, &n, timeout_ms);
    if (sent)
        *sent = static_cast<uint32_t>(n);
    if (!ok)
        line_failed(*port);
    return ok && n == len ? 1 : 0;
}

int CSerialMonitorSerivce::SMS_Receive(void* buf, uint32_t cap, uint32_t* received, int timeout_ms, int)
{
    if (received)
        *received = 0;
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = m_port;
    }
    if (!port || (!buf && cap)) {
        set_error("no port is open");
        return 0;
    }
    std::lock_guard<std::mutex> r(m_readMutex);
    if (!port->is_open())
        return 0;
    size_t n = 0;
    bool ok = port->read(static_cast<uint8_t*>(buf), cap, &n, timeout_ms);
    if (received)
        *received = static_cast<uint32_t>(n);
    if (!ok)
        line_failed(*port);
    return ok ? 1 : 0;
}

int CSerialMonitorSerivce::SMS_FlushComData(uint32_t)
{
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = m_port;
    }
    if (!port)
        return 0;
    std::lock_guard<std::mutex> r(m_readMutex);
    return port->flush_input() ? 1 : 0;
}

int CSerialMonitorSerivce::SMS_StopSvc()
{
    m_svcStarted = false;
    // The reader may be in the middle of a read: wait for it to let go.
    std::lock_guard<std::mutex> r(m_readMutex);
    return 1;
}

int CSerialMonitorSerivce::SMS_StartSvc()
{
    m_svcStarted = true;
    return 1;
}

void CSerialMonitorSerivce::set_flag(JobFlag f, int on)
{
    m_flags[f] = on ? 1 : 0;
    m_armed[f] = on != 0;
}

void CSerialMonitorSerivce::set_upg(int on) { set_flag(JF_UPG, on); }
void CSerialMonitorSerivce::set_blockupg(int on) { set_flag(JF_BLOCKUPG, on); }
void CSerialMonitorSerivce::set_bootroom(int on) { set_flag(JF_BOOTROM, on); }
void CSerialMonitorSerivce::set_calibrate(int on) { set_flag(JF_CALIBRATE, on); }
void CSerialMonitorSerivce::set_dumping(int on) { set_flag(JF_DUMPING, on); }

bool CSerialMonitorSerivce::any_job_flag() const
{
    for (int i = 0; i < JF_COUNT; ++i)
        if (m_flags[i].load())
            return true;
    return false;
}

std::string CSerialMonitorSerivce::last_error() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_lastError;
}

void CSerialMonitorSerivce::set_error(const std::string& e)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_lastError = e;
}

bool CSerialMonitorSerivce::line_lost() const
{
    std::shared_ptr<kv::SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        port = m_port;
    }
    return port && !port->error().empty();
}

// A line that went away (a device unplugged, a serial server's connection
// lost) is told once to the log, and kept as the last error.
void CSerialMonitorSerivce::line_failed(const kv::SerialPort& port)
{
    const std::string e = port.error();
    if (e.empty())
        return;  // a time-out or a cancel, not a lost line
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_lastError = e;
        if (m_reportedLineError == e)
            return;
        m_reportedLineError = e;
    }
    kv_console_printf("%s\n", e.c_str());
}

serialport_config_tag CSerialMonitorSerivce::current_config() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_CurConfig;
}

int CSerialMonitorSerivce::SMS_WaitAnnouncement(int64_t timeout_ms, const std::atomic<bool>* cancel)
{
    if (!m_inited.load() || !SMS_NumComPortOpen()) {
        set_error(!m_inited.load() ? "the serial service is not initialised" : "no port is open");
        return -2;
    }
    using Clock = std::chrono::steady_clock;
    constexpr int64_t kForever = int64_t(100) * 365 * 24 * 3600 * 1000;  // no clock arithmetic beyond this
    const auto deadline = (timeout_ms < 0 || timeout_ms > kForever)
                              ? Clock::time_point::max()
                              : Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(m_waitMutex);
    const uint64_t seen = m_announcements;
    ++m_waiters;
    int result = 0;
    for (;;) {
        if (m_announcements != seen) {
            result = 1;
            break;
        }
        if (cancel && cancel->load()) {
            result = -1;
            break;
        }
        if (!SMS_NumComPortOpen()) {
            result = -2;
            break;
        }
        auto now = Clock::now();
        if (now >= deadline)
            break;
        auto slice = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(50));
        m_waitCv.wait_for(lock, slice);
    }
    --m_waiters;
    return result;
}

bool CSerialMonitorSerivce::watching() const
{
    if (m_waiters.load() > 0)
        return true;
    if (!m_svcStarted.load())
        return false;
    for (int i = 0; i < JF_COUNT; ++i)
        if (m_armed[i].load())
            return true;
    return false;
}

// The boot ROM is there: wake whoever waits for it.
void CSerialMonitorSerivce::announced()
{
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        ++m_announcements;
    }
    m_waitCv.notify_all();
    // Resume the jobs that wait; keep the watch while no thread has been
    // recorded yet (the boot ROM repeats its announcement).
    for (int f = 0; f < JF_COUNT; ++f) {
        if (!m_armed[f].load())
            continue;
        CKvWorkThread* t = (f == JF_DUMPING) ? m_pDumpThread.load() : m_pUpgThread.load();
        if (!t)
            continue;
        m_armed[f] = false;
        t->Resume();
    }
}

// The service's own reader. While started it either forwards what the STB
// prints to the console (no job running, no raw link) or, while a job waits
// for a reset, looks for the boot ROM's announcement and wakes the job.
void CSerialMonitorSerivce::reader_loop()
{
    using namespace std::chrono_literals;
    kv::AnnouncementDetector detector;
    bool was_watching = false;
    while (!m_quit.load()) {
        std::shared_ptr<kv::SerialPort> port;
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            port = m_port;
        }
        const bool watch = watching();
        const bool forward = m_svcStarted.load() && !m_RawLink.load() && !any_job_flag() && m_waiters.load() == 0;
        if (!port || (!watch && !forward)) {
            was_watching = false;
            std::this_thread::sleep_for(watch ? 5ms : 20ms);
            continue;
        }
        if (watch && !was_watching) {
            detector = kv::AnnouncementDetector(m_syncByte.load(), m_quietMs.load());
            detector.reset(kv::monotonic_ms());
        }
        was_watching = watch;
        uint8_t buf[256];
        size_t got = 0;
        {
            std::unique_lock<std::mutex> r(m_readMutex, std::try_to_lock);
            if (!r.owns_lock() || !port->is_open()) {
                r = std::unique_lock<std::mutex>();
                std::this_thread::sleep_for(5ms);
                continue;
            }
            // Watching, each read takes what came together (the arrival
            // times matter); forwarding, what comes within 20 ms.
            bool ok = watch ? port->read_some(buf, sizeof(buf), &got, 5) : port->read(buf, sizeof(buf), &got, 20);
            if (!ok) {
                line_failed(*port);
                r.unlock();
                std::this_thread::sleep_for(20ms);
                continue;
            }
        }
        if (watch) {
            const int64_t now = kv::monotonic_ms();
            detector.feed(buf, got, now);
            if (detector.announced(now)) {
                was_watching = false;
                announced();
            }
            continue;
        }
        if (got && forward)
            WriteConsleData(buf, got);
    }
}

namespace kv {

ScopedServiceJob::ScopedServiceJob(CSerialMonitorSerivce* svc, ServiceJob job, CKvWorkThread* thread)
    : m_svc(svc), m_job(job), m_thread(thread)
{
    if (!m_svc)
        return;
    (m_job == ServiceJob::Dumping ? m_svc->m_pDumpThread : m_svc->m_pUpgThread) = m_thread;
    set(1);
}

ScopedServiceJob::~ScopedServiceJob()
{
    if (!m_svc)
        return;
    set(0);
    CKvWorkThread* mine = m_thread;
    (m_job == ServiceJob::Dumping ? m_svc->m_pDumpThread : m_svc->m_pUpgThread).compare_exchange_strong(mine, nullptr);
}

void ScopedServiceJob::set(int on)
{
    switch (m_job) {
    case ServiceJob::Upgrade: m_svc->set_upg(on); break;
    case ServiceJob::BlockUpgrade: m_svc->set_blockupg(on); break;
    case ServiceJob::BootRom: m_svc->set_bootroom(on); break;
    case ServiceJob::Calibrate: m_svc->set_calibrate(on); break;
    case ServiceJob::Dumping: m_svc->set_dumping(on); break;
    }
}

}  // namespace kv
