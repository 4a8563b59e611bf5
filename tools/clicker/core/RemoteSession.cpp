#include "RemoteSession.h"

#include "KeyFrame.h"
#include "RecordFile.h"

#include <SerialMonitorService.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace clicker {

namespace {

constexpr int kRandomPeriodMs = 200;
constexpr int kAfterKeyMs = 100;
constexpr int kBetweenRoundsMs = 5000;

}  // namespace

CRemoteSession::CRemoteSession(CKvBasicRemoteCtrl& ctrl, IRemoteSink& sink) : m_ctrl(ctrl), m_sink(sink) {}

CRemoteSession::~CRemoteSession()
{
    m_quit = true;
    m_random = false;
    m_sim = false;
    Wake();
    m_keyThread.Resume();
    Join(m_randomThread);
    Join(m_replayThread);
    Join(m_keyThread);
    FinishRecording(false);
}

void CRemoteSession::Join(CKvWorkThread& t)
{
    if (!t.IsCurrentThread())
        t.Detach();
}

bool CRemoteSession::OpenPort(const std::string& path, int baud, std::string* error)
{
    CSerialMonitorSerivce* svc = m_ctrl.m_pSerial;
    if (!svc) {
        *error = "no serial service";
        return false;
    }
    serialport_config_tag cfg;
    cfg.port_index = svc->SMS_AddPort(path);
    cfg.baud_rate = baud;
    if (cfg.port_index < 0 || !svc->SMS_OpenPort(cfg)) {
        *error = svc->last_error();
        return false;
    }
    svc->SMS_StopSvc();
    m_port = cfg.port_index;
    return true;
}

void CRemoteSession::Log(const std::string& text)
{
    m_sink.OnLine(text);
    m_log.append(text);
}

// ---------------------------------------------------------------------------
// Waiting

void CRemoteSession::Wake()
{
    std::lock_guard<std::mutex> l(m_waitMutex);
    m_waitCv.notify_all();
}

bool CRemoteSession::Wait(int ms, const std::function<bool()>& stop)
{
    auto scaled = std::chrono::microseconds(static_cast<long long>(ms * 1000.0 * m_scale.load()));
    auto until = std::chrono::steady_clock::now() + scaled;
    std::unique_lock<std::mutex> l(m_waitMutex);
    return !m_waitCv.wait_until(l, until, [&] { return m_quit.load() || (stop && stop()); });
}

// ---------------------------------------------------------------------------
// Key map

bool CRemoteSession::IsKeyValue(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::strtoll(text.c_str(), nullptr, 10) <= INT32_MAX;
}

const char* CRemoteSession::LoadKeyMap(const std::string& path)
{
    tag_remote map;
    if (!m_ctrl.ExcelParser(path, &map))
        return kRowsOutOfRange;
    for (const std::string& v : map.value)
        if (!IsKeyValue(v))
            return kValueNotInteger;
    m_ctrl.set_remote(map);
    return nullptr;
}

tag_remote CRemoteSession::KeyMap() const
{
    tag_remote map;
    m_ctrl.get_remote(&map);
    return map;
}

bool CRemoteSession::FindKey(const std::string& name, int32_t* value) const
{
    const tag_remote map = KeyMap();
    for (size_t i = 0; i < map.name.size(); ++i) {
        if (map.name[i] == name) {
            *value = static_cast<int32_t>(std::strtoll(map.value[i].c_str(), nullptr, 10));
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Pressing a key

void CRemoteSession::RecordKey(int32_t value, const std::string& name)
{
    if (m_ctrl.add_key(value, name) || !m_recording)
        return;
    Log("Key not recorded: " + m_ctrl.last_error() + "\r\n");
    std::lock_guard<std::mutex> l(m_statsMutex);
    ++m_stats.keys_not_recorded;
}

void CRemoteSession::Press(const std::string& name, int32_t value, int record, const std::function<bool()>& stop,
                           bool fromRandom)
{
    if (value == kStartMarker)
        return;
    // The line is labelled by who pressed the key, not by the mode at this
    // instant: a Stop may end the random mode while its last key goes out.
    const char* n = name.c_str();
    if (m_sim) {
        Log(sformat("sim: cyc:%d, key num:%d, key value:%d\r\n", m_cycle.load(), record, value));
    } else if (m_recording && fromRandom) {
        Log(sformat("random&record:  key value:%d, key name:%s\r\n", value, n));
        RecordKey(value, name);
    } else if (m_recording) {
        Log(sformat("record:  key value:%d, key name:%s\r\n", value, n));
        RecordKey(value, name);
    } else if (fromRandom) {
        Log(sformat("random: key value:%d, key name:%s\r\n", value, n));
    } else {
        Log(sformat("press key: key value:%d, key name:%s\r\n", value, n));
    }
    if (value == kUnknownKey) {
        // On a worker thread a message box would halt an unattended run: the
        // message goes to the log pane.
        Log(name + "Can`t find Key_Value\r\n");
        Log("Not find key...\r\n");
        std::lock_guard<std::mutex> l(m_statsMutex);
        ++m_stats.unknown_keys;
        return;
    }
    const int rc = m_ctrl.send_key(value, m_port, [&] { return m_quit.load() || (stop && stop()); });
    if (rc == kSendOk) {
        if (m_ctrl.m_pSerial && m_ctrl.m_pSerial->SMS_NumComPortOpen() == 2)
            m_ctrl.m_pSerial->SMS_StartSvc();
    } else if (rc != kSendStopped) {
        Log(sformat("Send key failed! key value:%d, key name:%s, error:%d\r\n", value, n, rc));
    }
    {
        std::lock_guard<std::mutex> l(m_statsMutex);
        if (rc == kSendOk)
            ++m_stats.keys_sent;
        else if (rc != kSendStopped)
            ++m_stats.send_failures;
    }
    Wait(kAfterKeyMs, stop);
}

bool CRemoteSession::PressByHand(const std::string& name, int32_t value)
{
    if (!m_freePress || m_quit)
        return false;
    {
        std::lock_guard<std::mutex> l(m_queueMutex);
        m_queue.push_back(HandPress{name, value});
        if (!m_keyThreadStarted) {
            m_keyThreadStarted = true;
            m_keyThread.Attach([this] { return KeyLoop(); });
            m_keyThread.Start(1);
        }
    }
    m_keyThread.Resume();
    return true;
}

uint32_t CRemoteSession::KeyLoop()
{
    while (!m_quit) {
        HandPress p{};
        bool have = false;
        {
            std::lock_guard<std::mutex> l(m_queueMutex);
            if (!m_queue.empty()) {
                p = std::move(m_queue.front());
                m_queue.pop_front();
                have = true;
            }
        }
        if (have)
            Press(p.name, p.value);
        else
            m_keyThread.Suspend();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Random

bool CRemoteSession::StartRandom(uint32_t seed, int count)
{
    if (m_random || m_sim)
        return false;
    Join(m_randomThread);
    m_rng.seed(seed);
    m_randomCount = count;
    m_random = true;
    m_freePress = false;
    Log("Start random...\r\n");
    m_randomThread.Attach([this] { return RandomLoop(); });
    m_randomThread.Start(1);
    return true;
}

bool CRemoteSession::EndRandom()
{
    if (!m_random.exchange(false))
        return false;
    Wake();
    m_freePress = true;
    Log("Stop random...\r\n");
    return true;
}

void CRemoteSession::StopRandom()
{
    EndRandom();
    Join(m_randomThread);
}

uint32_t CRemoteSession::RandomLoop()
{
    auto stopped = [this] { return !m_random.load(); };
    int pressed = 0;
    while (m_random) {
        const tag_remote map = KeyMap();
        const bool have = !map.name.empty();
        HandPress key{};
        if (have) {
            const size_t j = m_rng() % map.name.size();
            key = HandPress{map.name[j], static_cast<int32_t>(std::strtoll(map.value[j].c_str(), nullptr, 10))};
        }
        if (have && !stopped()) {
            Press(key.name, key.value, -1, stopped, true);
            ++pressed;
        }
        if (m_randomCount > 0 && pressed >= m_randomCount) {
            if (EndRandom())
                m_sink.OnModeEnded();
            break;
        }
        Wait(kRandomPeriodMs, stopped);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Recording

bool CRemoteSession::StartRecord(const std::string& path)
{
    if (m_recording || m_sim || !m_ctrl.m_pTable)
        return false;
    std::lock_guard<std::recursive_mutex> l(m_ctrl.table_mutex());
    m_ctrl.m_StartTime = m_ctrl.now_ms();
    if (!m_ctrl.open_key_map_file(1, path)) {
        Log("Cannot create the record file: " + m_ctrl.last_error() + "\r\n");
        return false;
    }
    tag_record_table& t = *m_ctrl.m_pTable;
    t.key_value[0] = kStartMarker;
    t.sleep_ms[0] = 0;
    set_record_name(t, 0, kStartRecordName);
    t.count = 1;
    m_recording = true;
    Log("Start record...\r\n");
    return true;
}

void CRemoteSession::FinishRecording(bool log)
{
    std::lock_guard<std::recursive_mutex> l(m_ctrl.table_mutex());
    if (!m_recording.exchange(false) || !m_ctrl.m_pTable)
        return;
    tag_record_table& t = *m_ctrl.m_pTable;
    const int last = std::max(0, std::min(t.count, kMaxRecords) - 1);
    set_record_name(t, last, record_name(t, last) + kLastKeySuffix);
    t.sleep_ms[last] = kLastKeyPauseMs;
    if (!m_ctrl.write_last_line(closing_line(record_name(t, last), kLastKeyPauseMs)) && log)
        Log("Cannot write the record file: " + m_ctrl.last_error() + "\r\n");
    m_ctrl.open_key_map_file(0, "");
    if (log)
        Log("Stop record...\r\n");
}

void CRemoteSession::StopRecord() { FinishRecording(true); }

// ---------------------------------------------------------------------------
// Simulation (replay)

bool CRemoteSession::StartSimulation(const std::string& path, int cycles)
{
    if (m_sim || m_recording || !m_ctrl.m_pTable)
        return false;
    Join(m_replayThread);
    {
        std::lock_guard<std::recursive_mutex> l(m_ctrl.table_mutex());
        std::memset(m_ctrl.m_pTable, 0, sizeof(tag_record_table));
    }
    m_cycle = 0;
    if (!m_ctrl.load_key_map(path)) {
        Log("Cannot load the record file: " + m_ctrl.last_error() + "\r\n");
        return false;
    }
    StopRandom();
    {
        std::lock_guard<std::mutex> l(m_posMutex);
        m_pos = 0;
        m_skip = true;
        m_cycleLimit = cycles;
    }
    m_sim = true;
    Log("Start sim...\r\n");
    m_replayThread.Attach([this] { return ReplayLoop(); });
    m_replayThread.Start(1);
    return true;
}

bool CRemoteSession::EndSimulation()
{
    if (!m_sim.exchange(false))
        return false;
    Wake();
    m_cycle = 0;
    Log("Stop sim...\r\n");
    return true;
}

void CRemoteSession::StopSimulation()
{
    EndSimulation();
    Join(m_replayThread);
}

int CRemoteSession::Position() const
{
    std::lock_guard<std::mutex> l(m_posMutex);
    return m_pos;
}

uint32_t CRemoteSession::ReplayLoop()
{
    while (m_sim && ReplayStep()) {}
    return 0;
}

// One record, or the turn to the next round. False when the replay ended.
bool CRemoteSession::ReplayStep()
{
    auto stopped = [this] { return !m_sim.load(); };
    const tag_record_table& t = *m_ctrl.m_pTable;
    int pos, limit;
    {
        std::lock_guard<std::mutex> l(m_posMutex);
        pos = m_pos;
        limit = m_cycleLimit;
    }
    if (pos >= t.count) {
        {
            std::lock_guard<std::mutex> l(m_posMutex);
            m_pos = 0;
        }
        if (limit > 0 && m_cycle + 1 >= limit) {
            if (EndSimulation())
                m_sink.OnModeEnded();
            return false;
        }
        if (!Wait(kBetweenRoundsMs, stopped))
            return false;
        ++m_cycle;
        return true;
    }
    Press(record_name(t, pos), t.key_value[pos], pos, stopped);
    if (t.sleep_ms[pos] <= 0) {
        Log("Wrong Sleep Time.\r\n");
        std::lock_guard<std::mutex> l(m_statsMutex);
        ++m_stats.wrong_sleeps;
    } else {
        Wait(t.sleep_ms[pos], stopped);
    }
    std::lock_guard<std::mutex> l(m_posMutex);
    if (m_skip)
        m_skip = false;
    else
        ++m_pos;
    return true;
}

CRemoteSession::Stats CRemoteSession::GetStats() const
{
    std::lock_guard<std::mutex> l(m_statsMutex);
    return m_stats;
}

}  // namespace clicker
