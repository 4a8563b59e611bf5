// The remote-control emulator's daily log "RCLog_YYYYMMDD.txt" (local date)
// in the program folder. Each line is appended on its own: the file is
// opened (created when missing), written at its end, flushed and closed, so a
// run that is cut off loses nothing it had logged. Callable from any thread.
#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <string>

namespace clicker {

class RcLogFile {
public:
    // Logs go into the program folder unless told otherwise.
    RcLogFile();
    void set_folder(const std::string& dir);
    // The local date the file name is made from (tests fix it).
    void set_clock(std::function<std::time_t()> now) { m_now = std::move(now); }

    // Today's file.
    std::string path() const;
    // False when the file cannot be written (the line is then only shown).
    bool append(const std::string& text);

private:
    mutable std::mutex m_mutex;
    std::string m_folder;
    std::function<std::time_t()> m_now;
};

}  // namespace clicker
