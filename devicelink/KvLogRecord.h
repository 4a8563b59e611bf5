// The records of the log socket "Default Log Window".
//
// Layout (all numbers little-endian 32-bit):
//   0..3   total record length
//   4..7   record kind: 2 insert text, 3 append bytes, 4 clear request
//   8..11  source line (0 when none was named)
//   12..15 sending process id
//   16..31 source file name, zero-padded (cut to 16 bytes)
//   32..35 text length
//   36..   text, then one zero byte
// A record is at least 36 and below 2048 bytes; the host drops any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace kv {

constexpr size_t kLogHeaderSize = 36;
constexpr size_t kLogRecordLimit = 2048;  // records are below this
constexpr size_t kLogMaxTextPerRecord = kLogRecordLimit - kLogHeaderSize - 2;  // below the limit, with the zero
constexpr int kLogKindInsertText = 2;
constexpr int kLogKindAppendBytes = 3;
constexpr int kLogKindClear = 4;
constexpr const char* kLogPipeName = "Default Log Window";

struct LogRecord {
    int kind = kLogKindAppendBytes;
    int line = 0;
    int pid = 0;
    std::string source;
    std::string text;
};

// Splits `text` into records of at most kLogMaxTextPerRecord bytes each, never
// inside a UTF-8 sequence. An empty text gives one empty record.
std::vector<std::vector<uint8_t>> encode_log_records(const LogRecord& rec);

// Reads one received message. False when it is shorter than 36 bytes, not
// shorter than 2048, or its text length does not fit the message.
bool decode_log_record(const uint8_t* data, size_t len, LogRecord* out);

// The per-user folder of the socket (created with mode 0700 when missing;
// refused when it belongs to another user or is open to others) and the
// socket's path. Empty on failure, with the reason in *error.
std::string log_socket_dir(std::string* error = nullptr);
std::string log_socket_path(std::string* error = nullptr);
// Sends one record to the log server at `path` over a connection of its own
// and waits briefly for the server's empty reply, which tells that the record
// was taken. False when no server listens (the caller then falls back).
bool send_log_record(const std::string& path, const std::vector<uint8_t>& rec);

// The day's log file: "KvPLog_%04u%02u%02u.txt" in `folder`, named from the
// local date of the clock at each append, so a new file begins after midnight.
// LF is written as CR LF, CR is dropped. Opened and closed for every append.
class DailyLogFile {
public:
    explicit DailyLogFile(std::string folder, std::function<long long()> now_seconds = {});
    static std::string file_name_for(std::time_t t);
    std::string current_path() const;
    bool append(const char* text, size_t len);

private:
    std::string m_folder;
    std::function<long long()> m_now;
};

}  // namespace kv
