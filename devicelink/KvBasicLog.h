// Console and log output of every tool, callable from any thread.
//
// Each call becomes records on the host's log socket "Default Log Window"
// (see KvLogRecord.h). A text too long for one record is split over several,
// in order. With no host listening, the same text goes to standard output and
// is appended to the day's log file "KvPLog_YYYYMMDD.txt" in the program
// folder, so a command-line run keeps the same trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// printf-style narrow text to the console and the log file.
void kv_console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes exactly `length` bytes (a trailing zero, if counted, is not shown).
void WriteConsleData(const void* bytes, size_t length);
// Names the source file and line of the next record from this thread.
void LogStoreFileLine(const wchar_t* file, int line);
void LogStoreFileLine(const char* file, int line);
// Asks for the console to be cleared at the start of a job.
void ClearConsle();
// Levelled log line; level 64 is the one in use.
void WriteLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

namespace kv {

// Where records go when no host is listening.
enum class LogFallback { StdoutAndFile, FileOnly, None };
void log_set_fallback(LogFallback mode);

// A listener sees every record this process sends, before it is sent
// (kind, text). Used by the command line and by tests. Returns an id.
using LogListener = std::function<void(int kind, const std::string& text)>;
int log_add_listener(LogListener fn);
void log_remove_listener(int id);

// Names what the calling thread works for (the port of one box when several
// are served at once); empty by default. Listeners read it to tell the
// records of one box from another's.
void log_set_thread_tag(const std::string& tag);
const std::string& log_thread_tag();

// Overrides the clock used for the fallback file's date (tests).
void log_set_clock(std::function<long long()> now_seconds);

}  // namespace kv
