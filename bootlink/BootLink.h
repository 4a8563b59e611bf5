// Shared plumbing of the boot-ROM link: the job context that every operation
// takes, the wire statistics of a phase, and the small line helpers (bounded
// reads, drains, logging with a source line) the operations are built from.
//
// Every operation here runs on a tool's job thread. It reports through the
// context's observer and the log, polls the cancel event and the keep-going
// flag between frames, chunks or steps (never inside one send or read), and
// returns 1 on success, 0 on failure.
#pragma once

#include "JobObserver.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

// What one phase (transfer, dump) put on the line.
struct WireStats {
    uint64_t payload_bytes = 0;  // image or flash bytes carried
    uint64_t wire_out = 0;       // bytes the host sent, resends included
    uint64_t wire_in = 0;        // bytes the host received
    uint32_t retries = 0;        // frames or chunks sent or taken again
    double seconds = 0;          // wall time of the phase

    uint64_t wire_bytes() const { return wire_out + wire_in; }
    // Payload bytes per second.
    double payload_rate() const { return seconds > 0 ? double(payload_bytes) / seconds : 0.0; }
};

struct JobContext {
    IJobObserver* observer = nullptr;          // status, progress, phase; may be null
    std::atomic<bool>* cancel = nullptr;       // the manual-reset cancel event; may be null
    std::atomic<bool>* keep_going = nullptr;   // calibration keep-going flag; null = always on
    CSerialMonitorSerivce* svc = nullptr;      // null: kv::current_serial_service()
    std::string root_dir;                      // STB-side files; empty: the program folder
    // Scales the fixed pauses of the exchanges ("wait 5 s" before the burn,
    // the waits after a boot init). 1.0 on a real line; tests may shorten
    // them. Read time-outs are never scaled.
    double pause_scale = 1.0;

    // Filled in by the operations.
    WireStats transfer;          // UpgTransfer
    WireStats dump;              // UpgDump, ShellReadDump
    std::string last_error;      // the main message of the last failure

    CSerialMonitorSerivce* service() const;
    bool cancelled() const { return cancel && cancel->load(); }
    void reset_cancel() const { if (cancel) cancel->store(false); }
    bool going() const { return !keep_going || keep_going->load(); }
    void clear_keep_going() const { if (keep_going) keep_going->store(false); }

    void status(const std::string& text) const { if (observer) observer->OnStatus(text); }
    void progress(int percent) const { if (observer) observer->OnProgress(percent); }
    void phase(const std::string& name) const { if (observer) observer->OnPhase(name); }
    // Sleeps `ms` times pause_scale.
    void pause(int ms) const;
    // Path of an STB-side file or configuration text.
    std::string file_path(const std::string& name) const;
};

// A context for callers that bring none (plain instructions from a tool).
JobContext& default_context();

// ---- line helpers -------------------------------------------------------

// 1 when the service's current port is open.
int port_open(CSerialMonitorSerivce* svc);

// Sends all bytes; 1 when every byte went out. A closed port is a failure.
int line_send(JobContext& ctx, const void* data, size_t len, int timeout_ms, WireStats* st = nullptr);
// One read of up to `cap` bytes. Returns the service's result (1 = read ended
// without error); *got holds the count (0 on time-out).
int line_recv(JobContext& ctx, void* buf, size_t cap, uint32_t* got, int timeout_ms, WireStats* st = nullptr);

// Collects exactly `n` bytes: a first read with `first_ms`, then reads of the
// rest with `again_ms`, counting reads that bring nothing; the `max_empty`-th
// empty read ends it. `again_msg` (if any) is logged before every further
// read. Returns the bytes collected (n on success); *read_failed is set when
// the service reported an error.
size_t line_collect(JobContext& ctx, uint8_t* buf, size_t n, int first_ms, int again_ms, int max_empty,
                    const char* again_msg = nullptr, bool* read_failed = nullptr, WireStats* st = nullptr);

// Reads `chunk`-byte blocks with `timeout_ms` until one brings nothing.
// Bounded: an STB that never falls silent is given up on after max_ms.
// Returns the bytes discarded.
size_t line_drain(JobContext& ctx, size_t chunk, int timeout_ms, int max_ms = 20000, WireStats* st = nullptr);

// Switches the current port to `baud`, keeping its other settings.
int line_set_baud(JobContext& ctx, int baud);

// Reads a whole file. 1 on success.
int read_file(const std::string& path, std::vector<uint8_t>* out);
// Writes a file atomically (a temporary beside it, then a rename). 1 on success.
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
