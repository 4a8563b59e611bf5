// The bar-code client protocol: the box's sync word, the client test, the
// burn frames and their replies.
//
// Frames share the upgrade client's framing: '#', command, payload length,
// payload, CRC-32 of command, length and payload (little-endian).
//   'P' client test   payload "KESTREL P2P UPG"     -> "OO", then the banner
//   'p' burn chunk    n, offset, 0, n characters    -> 'O'; 'O' x x (else 'E' x code); an echo holding the chunk
//   0x80 query        2, 0, 0                       -> any byte; 'O' 0x80 0x01 when the box holds a code
//   'X' whole code    n, 0, 0, n characters         -> 'O', 'O', the n characters back
//
// Every wait and read here gives way to the stop flag within 100 ms, so Stop
// ends a pass promptly and leaves the line between two exchanges.
#pragma once

#include "StampaPlatform.h"

#include "JobObserver.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace stampa {

// The page's end of the line while a pass owns the port.
class BoxLine {
public:
    BoxLine(CSerialMonitorSerivce& svc, const std::atomic<bool>& stop, const char* source,
            IJobObserver* observer = nullptr, double pause_scale = 1.0);

    CSerialMonitorSerivce& svc() { return m_svc; }
    const char* source() const { return m_source; }
    bool stopped() const { return m_stop.load(); }
    const std::atomic<bool>& stop_flag() const { return m_stop; }

    // 1 when every byte went out within the time-out.
    int send(const void* data, size_t len, int timeout_ms);
    // One read as the service makes it (it returns when `cap` bytes came or
    // the time-out ran out), cut into slices of at most 100 ms so that Stop
    // ends it. Returns the bytes read; *failed is set on a port error.
    size_t recv(void* buf, size_t cap, int timeout_ms, bool* failed = nullptr);
    // Exactly `n` bytes: a first read of `first_ms`, then reads of the rest
    // with `again_ms` (logging `again_msg` after each), the `max_empty`-th
    // read that brings nothing ending it. Returns the bytes collected.
    size_t collect(uint8_t* buf, size_t n, int first_ms, int again_ms, int max_empty, const char* again_msg);
    // Reads `chunk`-byte blocks with `timeout_ms` until one brings nothing;
    // a box that never falls silent is given up on after `max_ms`.
    size_t drain(size_t chunk, int timeout_ms, int max_ms = 20000);
    void flush(uint32_t ms) { m_svc.SMS_FlushComData(ms); }
    // Waits `ms` times the pause scale; false when stopped meanwhile.
    bool pause(int ms);

    void status(const std::string& text);
    // The pass waits for a box to be reset (told to the observer; the next
    // status ends the wait).
    void waiting_for_box();
    // A console line with this page's source record.
    void log(int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The same, remembered as the reason of the failure.
    void fail(int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
    const std::string& last_error() const { return m_error; }
    void set_error(const std::string& e) { m_error = e; }

private:
    std::string vlog(int line, const char* format, va_list ap);

    CSerialMonitorSerivce& m_svc;
    const std::atomic<bool>& m_stop;
    const char* m_source;
    IJobObserver* m_observer;
    bool m_waiting = false;
    double m_scale;
    std::string m_error;
};

// ---- frames ---------------------------------------------------------------

std::vector<uint8_t> client_test_frame();
// 'p' with up to 32 characters at `offset`.
std::vector<uint8_t> burn_chunk_frame(const std::string& chars, uint8_t offset);
// 'X' with the whole code (at most 255 characters).
std::vector<uint8_t> burn_code_frame(const std::string& code);
std::vector<uint8_t> burnt_query_frame();

// ---- sync -------------------------------------------------------------------

// True when the bytes read show the box's sync word the way `kind` takes it.
bool is_sync(SyncKind kind, const uint8_t* bytes, size_t n);

enum class SyncResult { Synced, Stopped, TimedOut, Failed };

// Listens for a resident client's sync word and answers 0xA5 (Alder: up to
// 9 sends). `deadline_ms` (a bootlink::now_ms() value, 0 none) bounds the wait
// for the box's reset.
SyncResult sync_resident(BoxLine& line, SyncKind kind, int64_t deadline_ms = 0);

// ---- exchanges ----------------------------------------------------------------

// The client test: drain, 'P' up to 3 times until "OO", then the banner.
// `cost_time` prints the time it took.
bool client_test(BoxLine& line, bool cost_time);
// Burns `code` (box bytes) in 'p' chunks of 32 characters, the first at
// `first_offset`, each further one 32 on. *sent turns true once a frame
// went out (or may have: a send that failed part way counts).
bool burn_chunks(BoxLine& line, const std::string& code, int first_offset, bool* sent = nullptr);
// The already-burnt query; a failed exchange counts as "no code".
bool box_holds_code(BoxLine& line);
// The client download through the boot ROM: length, two zero words, image,
// in one send of at least 10.5 s, longer when the line needs it.
bool download_client(BoxLine& line, const std::string& path);
// One 'X' frame with the whole code; the box echoes it back.
bool burn_whole_code(BoxLine& line, const std::string& code);

}  // namespace stampa
