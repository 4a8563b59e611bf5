// The one link to the STB's serial port.
//
// The host (or a single-box command) owns one CSerialMonitorSerivce; tools reach
// it through kv::current_serial_service(). A command that serves several boxes
// at once runs one service per port, each with its own port, reader and job
// slots, and hands it to its jobs in their context. Results follow the suite's convention:
// 1 (nonzero) is success, 0 failure.
//
// Besides carrying the tools' reads and writes, the service runs a reader of
// its own while it is started: what the STB prints goes to the log as console
// output. While a job flag is set (set_upg, set_blockupg, set_bootroom,
// set_calibrate, set_dumping) the reader watches instead for the boot ROM's
// announcement and resumes the thread recorded for that job; from then on it
// leaves the port to the job until the flag is cleared. A job may also wait
// for the announcement itself (SMS_WaitAnnouncement), whether or not the
// service's reading is started.
//
// The announcement is a lone sync byte ('R' unless [SerialSvc] SyncByte says
// otherwise) with quiet before and after it; console text that merely holds
// the byte never counts (Announcement.h). The recognition lives here, once,
// for every tool and every kind of port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Announcement.h"

class CKvWorkThread;

namespace kv {
class SerialPort;
}

// Five 32-bit words, in this order.
struct serialport_config_tag {
    int32_t port_index = 0;
    int32_t baud_rate = 115200;
    int32_t data_bits = 8;  // 4 to 8 (this platform takes 5 to 8)
    int32_t parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int32_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
};

// One record per known port.
struct serialport_info_tag {
    std::string name;  // device path, e.g. "/dev/ttyUSB0" or a pseudo-terminal
    std::string friendly_name;  // what the system calls it, or the name again
    serialport_config_tag last;  // the last-used setting choices
};

enum SerialParity { KV_NOPARITY = 0, KV_ODDPARITY = 1, KV_EVENPARITY = 2, KV_MARKPARITY = 3, KV_SPACEPARITY = 4 };
enum SerialStopBits { KV_ONESTOPBIT = 0, KV_ONE5STOPBITS = 1, KV_TWOSTOPBITS = 2 };

class CSerialMonitorSerivce {
public:
    CSerialMonitorSerivce();
    ~CSerialMonitorSerivce();
    CSerialMonitorSerivce(const CSerialMonitorSerivce&) = delete;
    CSerialMonitorSerivce& operator=(const CSerialMonitorSerivce&) = delete;

    // Once per service. SMS_Init reads the "SerialSvc" section of corvane.ini
    // (key "SyncByte": a character, or a number such as 0x52; key
    // "AnnounceQuietMs": the quiet time around an announcement, 20 by default)
    // and starts the service's reader thread.
    int SMS_Init();
    int SMS_Deinit();

    // Enumerates the system's serial ports plus every port named with
    // SMS_AddPort. A port keeps its index for the life of the service.
    int SMS_SearchAllSerialPorts(int* count, std::vector<serialport_info_tag>* info);
    int SMS_GetCurSvcParam(int* count, std::vector<serialport_info_tag>* info, serialport_config_tag* config);
    // Names a port the enumeration cannot see (a pseudo-terminal of the virtual
    // STB, say). Returns its index, or -1 for an empty path.
    int SMS_AddPort(const std::string& path);
    // Index of a known port by path, or -1.
    int SMS_FindPort(const std::string& path);

    // One entry per known port, 1 where the port is open.
    std::vector<int> SMS_IsPortOpen();
    int SMS_OpenPort(const serialport_config_tag& config);
    int SMS_ClosePort(int port_index);
    int SMS_NumComPortOpen();
    int SMS_ChangeBaudrate(const serialport_config_tag& config);

    // 1 only when every byte went out within the time-out.
    int SMS_Send(const void* buf, uint32_t len, uint32_t* sent, int timeout_ms, int reserved = -1);
    // Waits up to the time-out for `cap` bytes. 1 when the read ended without
    // error; *received may be short, and is 0 when nothing came in time.
    int SMS_Receive(void* buf, uint32_t cap, uint32_t* received, int timeout_ms, int reserved = -1);
    // Discards pending input. The value is the longest the flush may take (ms).
    int SMS_FlushComData(uint32_t value);

    // Stop and restart the service's own reading of the port.
    int SMS_StopSvc();
    int SMS_StartSvc();
    bool SMS_IsSvcRunning() const { return m_svcStarted.load(); }

    // Waits until the boot ROM announces itself on the open port. `cancel`
    // (may be null) is polled every 50 ms; `timeout_ms` < 0 waits for ever.
    // 1: announced; 0: not within the time; -1: cancelled; -2: no port is
    // open or the service is not initialised.
    int SMS_WaitAnnouncement(int64_t timeout_ms, const std::atomic<bool>* cancel = nullptr);

    // Which tool job is running (1 or 0). Setting a flag arms the watch for
    // the boot ROM's announcement.
    void set_upg(int on);
    void set_blockupg(int on);
    void set_bootroom(int on);
    void set_calibrate(int on);
    void set_dumping(int on);
    bool any_job_flag() const;

    // The announcement the service waits for after a job flag is set.
    uint8_t sync_byte() const { return m_syncByte.load(); }
    void set_sync_byte(uint8_t b) { m_syncByte = b; }
    int announce_quiet_ms() const { return m_quietMs.load(); }
    void set_announce_quiet_ms(int ms) { m_quietMs = ms < 1 ? 1 : ms; }

    // The log tag of the service's own reader thread (kv::log_set_thread_tag),
    // so that what a box prints can be told apart when several services run
    // in one process. Set it before SMS_Init.
    void set_log_tag(const std::string& tag) { m_logTag = tag; }

    // Human-readable text of the last failure (open, settings, I/O).
    std::string last_error() const;
    // True while the open port's line has gone away (a device unplugged, a
    // serial server's connection lost): it stays open, and every read and
    // write fails, until it is closed.
    bool line_lost() const;

    // Public members that callers read or write.
    serialport_config_tag m_CurConfig;  // the current port's configuration
    std::atomic<int> m_RawLink{0};  // 1 while a tool drives the boot ROM directly
    std::atomic<CKvWorkThread*> m_pUpgThread{nullptr};  // upgrade, block upgrade, boot-ROM and calibration jobs
    std::atomic<CKvWorkThread*> m_pDumpThread{nullptr};  // dump job

private:
    enum JobFlag { JF_UPG, JF_BLOCKUPG, JF_BOOTROM, JF_CALIBRATE, JF_DUMPING, JF_COUNT };
    void set_flag(JobFlag f, int on);
    void reader_loop();
    bool watching() const;
    void announced();
    void set_error(const std::string& e);
    serialport_config_tag current_config() const;
    void forget_closed_port_locked();
    void line_failed(const kv::SerialPort& port);

    mutable std::mutex m_stateMutex;  // ports, configuration, error text
    std::mutex m_readMutex;  // one reader of the line at a time
    std::mutex m_writeMutex;  // one writer of the line at a time
    std::vector<serialport_info_tag> m_ports;
    std::shared_ptr<kv::SerialPort> m_port;  // the open port, if any
    int m_openIndex = -1;
    std::string m_lastError;
    std::string m_logTag;
    std::string m_reportedLineError;  // the lost line already told to the log

    std::atomic<bool> m_inited{false};
    std::atomic<bool> m_svcStarted{true};
    std::atomic<int> m_flags[JF_COUNT]{};
    std::atomic<bool> m_armed[JF_COUNT]{};
    std::atomic<uint8_t> m_syncByte{'R'};
    std::atomic<int> m_quietMs{kv::AnnouncementDetector::kDefaultQuietMs};

    // Callers of SMS_WaitAnnouncement, and the announcements seen so far.
    std::mutex m_waitMutex;
    std::condition_variable m_waitCv;
    std::atomic<int> m_waiters{0};
    uint64_t m_announcements = 0;

    std::atomic<bool> m_quit{false};
    std::thread m_reader;
};

namespace kv {

// The tool jobs the service knows (its job flags).
enum class ServiceJob { Upgrade, BlockUpgrade, BootRom, Calibrate, Dumping };

// Marks a tool job as running for as long as it lives: sets the job's flag
// (which arms the watch for the announcement) and records the job's thread
// in the flag's slot; clears both when it ends, whichever way the job ends.
// A slot that meanwhile holds another thread is left alone.
class ScopedServiceJob {
public:
    ScopedServiceJob(CSerialMonitorSerivce* svc, ServiceJob job, CKvWorkThread* thread);
    ~ScopedServiceJob();
    ScopedServiceJob(const ScopedServiceJob&) = delete;
    ScopedServiceJob& operator=(const ScopedServiceJob&) = delete;

private:
    void set(int on);
    CSerialMonitorSerivce* m_svc;
    ServiceJob m_job;
    CKvWorkThread* m_thread;
};

// The process's serial service (the host's or the command line's).
CSerialMonitorSerivce* current_serial_service();
void set_current_serial_service(CSerialMonitorSerivce* svc);

// The baud rates the tools offer, in list order.
const std::vector<int>& supported_baud_rates();
}  // namespace kv
