// The remote-control emulator's work, without a window: key presses by hand,
// at random, recorded into a record file and replayed from one, each echoed
// as a log line (shown by the owner and appended to the day's RCLog file).
//
// The view and corvane-cli drive the same session. Random and replay run on
// worker threads of their own and end within a few ms of their Stop (every
// wait, and the wait for the box's answer, looks at the mode's flag); presses
// by hand go through a key thread, so the owner's thread never waits for the
// line. Lines reach the owner through IRemoteSink from any of these threads.
#pragma once

#include "KvBasicRemoteCtrl.h"
#include "RcLogFile.h"

#include <KvWorkThread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>

namespace clicker {

class IRemoteSink {
public:
    virtual ~IRemoteSink() = default;
    // One log line as composed ("\r\n" included). Called from any thread.
    virtual void OnLine(const std::string& text) = 0;
    // A random run or a replay ended by itself (its key count or its cycles
    // were done). Called on that mode's thread.
    virtual void OnModeEnded() {}
};

inline constexpr const char* kRowsOutOfRange = "The row number is out of range!";
inline constexpr const char* kValueNotInteger = "The remote value is not integer!";

class CRemoteSession {
public:
    CRemoteSession(CKvBasicRemoteCtrl& ctrl, IRemoteSink& sink);
    // Ends every mode and thread; a recording in progress is finished (its
    // closing line written) so nothing recorded is lost.
    ~CRemoteSession();
    CRemoteSession(const CRemoteSession&) = delete;
    CRemoteSession& operator=(const CRemoteSession&) = delete;

    // Opens the line at `path` (8 data bits, no parity, one stop bit) through
    // the component's serial service, keeps the service's reader off it and
    // sends keys there. False with the service's reason in *error.
    bool OpenPort(const std::string& path, int baud, std::string* error);
    void SetPortIndex(int index) { m_port = index; }
    int PortIndex() const { return m_port; }
    // Every wait (200 ms between random keys, 100 ms after a key, the
    // recorded pauses, 5000 ms between rounds) takes this many times as long.
    void SetTimeScale(double scale) { m_scale = scale > 0 ? scale : 1.0; }
    RcLogFile& LogFile() { return m_log; }

    // Reads a key map and makes it current: nullptr on success, else the
    // message (kRowsOutOfRange, kValueNotInteger); the current map is kept
    // on failure.
    const char* LoadKeyMap(const std::string& path);
    tag_remote KeyMap() const;
    // A key value of the key map: the digits 0 to 9 only, fitting 32 bits.
    static bool IsKeyValue(const std::string& text);
    // The key of that name in the current key map; false when there is none.
    bool FindKey(const std::string& name, int32_t* value) const;

    // The press routine, on the caller's thread: the mode's log line, the
    // recording, the send and its 100 ms. `record` is the record index shown
    // by replay lines; `stop` ends the waits early.
    void Press(const std::string& name, int32_t value, int record = -1, const std::function<bool()>& stop = {},
               bool fromRandom = false);
    // A key button: queued for the key thread. False when presses by hand are
    // not allowed now (random runs).
    bool PressByHand(const std::string& name, int32_t value);

    // Random keys every 200 ms (plus the 100 ms after each), from a generator
    // seeded once here. `count` > 0 ends the run by itself after that many.
    bool StartRandom(uint32_t seed, int count = 0);
    void StopRandom();
    // False (and a log line) when the record file cannot be created.
    bool StartRecord(const std::string& path);
    void StopRecord();
    // False (and a log line) when the record file cannot be loaded. `cycles`
    // > 0 ends the replay by itself after that many rounds.
    bool StartSimulation(const std::string& path, int cycles = 0);
    void StopSimulation();

    bool RandomRunning() const { return m_random.load(); }
    bool Recording() const { return m_recording.load(); }
    bool Simulating() const { return m_sim.load(); }
    bool FreePress() const { return m_freePress.load(); }
    int Cycle() const { return m_cycle.load(); }
    int Position() const;

    struct Stats {
        int keys_sent = 0;
        int send_failures = 0;
        int unknown_keys = 0;  // records of a key the key map does not know
        int wrong_sleeps = 0;  // records with a pause of 0 or less
        int keys_not_recorded = 0;
    };
    Stats GetStats() const;

    // Shows a line and appends it to the day's log file.
    void Log(const std::string& text);

private:
    struct HandPress {
        std::string name;
        int32_t value;
    };
    bool Wait(int ms, const std::function<bool()>& stop);
    void Wake();
    void RecordKey(int32_t value, const std::string& name);
    bool EndRandom();
    bool EndSimulation();
    void FinishRecording(bool log);
    uint32_t RandomLoop();
    uint32_t ReplayLoop();
    uint32_t KeyLoop();
    bool ReplayStep();
    void Join(CKvWorkThread& t);

    CKvBasicRemoteCtrl& m_ctrl;
    IRemoteSink& m_sink;
    RcLogFile m_log;
    std::atomic<int> m_port{-1};
    std::atomic<double> m_scale{1.0};

    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_random{false}, m_recording{false}, m_sim{false}, m_freePress{true};
    std::atomic<int> m_cycle{0};
    std::mutex m_waitMutex;
    std::condition_variable m_waitCv;

    std::mt19937 m_rng;
    int m_randomCount = 0;
    CKvWorkThread m_randomThread;

    mutable std::mutex m_posMutex;  // the replay position, owned by the replay
    int m_pos = 0;
    bool m_skip = false;
    int m_cycleLimit = 0;
    CKvWorkThread m_replayThread;

    std::mutex m_queueMutex;
    std::deque<HandPress> m_queue;
    CKvWorkThread m_keyThread;
    bool m_keyThreadStarted = false;

    mutable std::mutex m_statsMutex;
    Stats m_stats;
};

}  // namespace clicker
