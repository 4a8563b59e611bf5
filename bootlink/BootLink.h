// Shared plumbing of the boot-ROM link: the job context that every operation
// takes, the wire statistics of a phase, and the small line helpers (bounded
// reads, drains, logging with a source line) the operations are built from.
//
// Every operation here runs on a tool's job thread. It reports through the
// context's observer and the log, polls the cancel event and the keep-going
// flag between frames, chunks or steps (never inside one send or read), and
// returns 1 on success, 0 on failure; a failure also leaves its Outcome and
// message in the context, so that callers never match message texts.
#pragma once

#include "JobObserver.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

// How an operation ended, for the callers that branch on it (the message is
// for people and goes to the log).
enum class Outcome {
    Ok,
    Failed,  // the box refused, a check failed, a reply did not come
    Cancelled,  // the cancel event was set (or the keep-going flag cleared)
    NoBox,  // no boot ROM announced itself within the time allowed
    PortLost,  // the port is closed or went away
};

// What one phase (transfer, dump) put on the line.
struct WireStats {
    uint64_t payload_bytes = 0;  // image or flash bytes carried
    uint64_t wire_out = 0;  // bytes the host sent, resends included
    uint64_t wire_in = 0;  // bytes the host received
    uint32_t retries = 0;  // frames or chunks sent or taken again
    double seconds = 0;  // wall time of the phase

    uint64_t wire_bytes() const { return wire_out + wire_in; }
    // Payload bytes per second.
    double payload_rate() const { return seconds > 0 ? double(payload_bytes) / seconds : 0.0; }
};

// Bounds the exchanges put on a box that keeps talking without getting
// anywhere. Read time-outs of single replies are the protocol's own.
struct Limits {
    int64_t burn_stall_ms = 120000;  // the burn percentage must rise within this
    int64_t burn_total_ms = 900000;  // the whole burn, from the burn command on
};

struct JobContext {
    IJobObserver* observer = nullptr;  // status, progress, phase; may be null
    std::atomic<bool>* cancel = nullptr;  // the manual-reset cancel event; may be null
    std::atomic<bool>* keep_going = nullptr;  // calibration keep-going flag; null = always on
    CSerialMonitorSerivce* svc = nullptr;  // null: kv::current_serial_service()
    std::string root_dir;  // STB-side files; empty: the program folder
    // Scales the fixed pauses of the exchanges ("wait 5 s" before the burn,
    // the waits after a boot init). 1.0 on a real line; only a virtual STB,
    // which keeps its own readiness times to match, may be run with less.
    // Read time-outs are never scaled.
    double pause_scale = 1.0;
    Limits limits;

    // Filled in by the operations.
    WireStats transfer;  // UpgTransfer
    WireStats dump;  // UpgDump, ShellReadDump
    Outcome outcome = Outcome::Ok;  // how the last failing operation ended
    std::string last_error;  // the main message of the last failure
    std::vector<std::string> warnings;  // what went wrong without failing the job
    // Set when the boot ROM's announcement was recognised and nothing has
    // been read back since: an announcement byte sent just before the box
    // heard us may still stand in front of the first reply.
    bool announcement_may_trail = false;

    CSerialMonitorSerivce* service() const;
    bool cancelled() const { return cancel && cancel->load(); }
    void reset_cancel() const
    {
        if (cancel)
            cancel->store(false);
    }
    bool going() const { return !keep_going || keep_going->load(); }
    void clear_keep_going() const
    {
        if (keep_going)
            keep_going->store(false);
    }

    void status(const std::string& text) const
    {
        if (observer)
            observer->OnStatus(text);
    }
    void progress(int percent) const
    {
        if (observer)
            observer->OnProgress(percent);
    }
    void phase(const std::string& name) const
    {
        if (observer)
            observer->OnPhase(name);
    }
    void bytes(uint64_t done, uint64_t total) const
    {
        if (observer)
            observer->OnBytes(done, total);
    }
    void waiting_for_box(bool waiting) const
    {
        if (observer)
            observer->OnWaitingForBox(waiting);
    }
    void result(const JobResult& r) const
    {
        if (observer)
            observer->OnResult(r);
    }
    // Sleeps `ms` times pause_scale.
    void pause(int ms) const;
    // Path of an STB-side file or configuration text.
    std::string file_path(const std::string& name) const;
};

// The kind of ending a failed operation's outcome stands for (Ok: None).
JobErrorKind error_kind(Outcome o);

// A context for callers that bring none (plain instructions from a tool).
JobContext& default_context();

// Failed, or PortLost when the line itself went away (a device unplugged, a
// serial server's connection lost).
Outcome failure_outcome(JobContext& ctx);
// Logs the message with its source line, keeps it (without line feeds) as
// the context's last error and `why` as its outcome (Failed becomes PortLost
// when the line went away). Returns 0, the failure result of every
// operation.
int fail_at(JobContext& ctx, const char* source, int line, Outcome why, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// Logs a warning line and keeps it in ctx.warnings.
void warn_at(JobContext& ctx, const char* source, int line, const std::string& msg);

// ---- line helpers -------------------------------------------------------

// 1 when the service's current port is open.
int port_open(CSerialMonitorSerivce* svc);

// Sends all bytes; 1 when every byte went out. A closed port is a failure.
int line_send(JobContext& ctx, const void* data, size_t len, int timeout_ms, WireStats* st = nullptr);
// A send time-out for `len` bytes at the line's rate: `floor_ms`, or twice
// the time the bytes take on the line and a second when that is longer.
int send_timeout_ms(JobContext& ctx, size_t len, int floor_ms);
// One read of up to `cap` bytes. Returns the service's result (1 = read ended
// without error); *got holds the count (0 on time-out).
int line_recv(JobContext& ctx, void* buf, size_t cap, uint32_t* got, int timeout_ms, WireStats* st = nullptr);

// How a reply of known length is collected: a first read, then reads of the
// rest. The `max_empty`-th read that brings nothing ends it, and so does the
// time all those reads would take if each came back empty: a box that
// trickles a byte now and then cannot hold a read open for longer.
struct ReadPlan {
    int first_ms;  // the first read
    int again_ms;  // each further read
    int max_empty;  // empty reads allowed
    bool first_counts = false;  // an empty first read counts as one of them
    const char* again_msg = nullptr;  // logged before every further read
    int64_t bound_ms() const { return first_ms + int64_t(max_empty - (first_counts ? 1 : 0)) * again_ms; }
};

// Collects exactly `n` bytes by `plan`. Returns the bytes collected (n on
// success); *read_failed is set when the service reported an error.
size_t line_collect(JobContext& ctx, uint8_t* buf, size_t n, const ReadPlan& plan, bool* read_failed = nullptr,
                    WireStats* st = nullptr);
// Collects a reply of `n` bytes that may be the first after the boot ROM's
// announcement: leading sync bytes that turn out to be stray announcements
// (more bytes follow than the reply holds) are dropped.
size_t line_collect_reply(JobContext& ctx, uint8_t* buf, size_t n, const ReadPlan& plan, bool* read_failed = nullptr);

// Reads `chunk`-byte blocks with `timeout_ms` until one brings nothing.
// Bounded: an STB that never falls silent is given up on after max_ms.
// Returns the bytes discarded.
size_t line_drain(JobContext& ctx, size_t chunk, int timeout_ms, int max_ms = 20000, WireStats* st = nullptr);

// Switches the current port to `baud`, keeping its other settings.
int line_set_baud(JobContext& ctx, int baud);
// The current port's rate (0 when no port is open).
int line_baud(JobContext& ctx);
// Drains what a box sends right after its announcement: reads like
// line_drain, but also ends when a read brings nothing but sync bytes (a boot
// ROM keeps announcing until the host talks).
size_t drain_after_announcement(JobContext& ctx, size_t chunk, int timeout_ms);

// Waits for the boot ROM's announcement through the serial service (which
// tells it from console text). Cancel is polled throughout; `limit_ms` < 0
// waits until the announcement or the cancel. Returns Ok, Cancelled, NoBox or
// PortLost, and on Ok marks the context (announcement_may_trail). The
// observer is told OnWaitingForBox(true) before and (false) after.
Outcome wait_for_boot_rom(JobContext& ctx, int64_t limit_ms);

// Puts the line back as it was when it goes: the rate, the raw-link flag,
// and the service's own reading started.
class LineRestore {
public:
    explicit LineRestore(JobContext& ctx);
    ~LineRestore();
    LineRestore(const LineRestore&) = delete;
    LineRestore& operator=(const LineRestore&) = delete;
    int baud() const { return m_baud; }

private:
    JobContext& m_ctx;
    int m_baud;
};

// Reads a whole file. 1 on success.
int read_file(const std::string& path, std::vector<uint8_t>* out);
// Writes a file atomically (a private temporary beside it, then a rename):
// a file already at `path` stays as it was unless the new one is complete.
// 1 on success.
int write_file_atomic(const std::string& path, const uint8_t* data, size_t len);

// ---- logging ------------------------------------------------------------

// A log line with its source name and line (LogStoreFileLine, then the text).
void log_at(const char* source, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// A fixed text written with WriteConsleData and an explicit byte count.
void log_data_at(const char* source, int line, const char* text, size_t count);

// Milliseconds since an epoch of the process (steady clock).
int64_t now_ms();

}  // namespace bootlink

#define BL_LOG(src, ...) ::bootlink::log_at(src, __LINE__, __VA_ARGS__)
#define BL_FAIL(ctx, src, ...) ::bootlink::fail_at(ctx, src, __LINE__, ::bootlink::Outcome::Failed, __VA_ARGS__)
