// The burn log: a comma-separated text file with the first line
// "Stampa,Status", then one line per burn: code,Success or code,Failed
// (Cedar writes ="code",Status so that spreadsheet programs keep leading
// zeros). Cedar may also keep a CA log beside it ("<log>_ca.csv", first line
// "Stampa,ID,Status", lines ="code",="C0<last 8 characters>",Status).
//
// Every append first copies the log to "<log>.bak"; when that copy fails the
// line is not written and the caller is told, so the burn's result is never
// lost silently. Codes are stored as the box holds them (its code page).
// One log may serve several lines at once: its members may be called from
// any thread.
#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace stampa {

// Local time for the names of rotated logs (tests fix it).
using LocalClock = std::function<std::tm()>;
std::tm system_local_time();

class BurnLog {
public:
    enum class Format { Plain, Quoted };

    BurnLog(std::string path, Format format, bool ca_log = false, LocalClock clock = {});

    const std::string& path() const { return m_path; }
    bool enabled() const { return !m_path.empty(); }

    // How `code` stands in the log, over the lines after the first: the first
    // `width` characters of a line's code field equal the first `width`
    // characters of the code, case-blind (width 0: the whole code). Every
    // line counts: a "Failed" line's code went to a box that may hold it.
    // Burnt when some such line has another status than "Failed"; a log that
    // exists but cannot be read counts as Burnt, with the reason in *error.
    enum class Seen { No, Failed, Burnt };
    Seen seen(const std::string& code, int width, std::string* error = nullptr) const;
    bool contains(const std::string& code, int width, std::string* error = nullptr) const
    {
        return seen(code, width, error) != Seen::No;
    }

    // When the log holds more than 1000 lines after its first, renames it to
    // its path followed by month, day, hour and minute ("%d%d%d%d", no
    // leading zeros); a name already taken gets "_2", "_3", ... so no older
    // log is replaced. *rotated_to receives the new name. False (with
    // *message) only when the rename failed.
    bool rotate_if_needed(std::string* rotated_to = nullptr, std::string* message = nullptr);

    struct Written {
        bool ok = false;  // the line is in the log
        bool backup_failed = false;  // the ".bak" copy failed, so nothing was written
        bool ca_ok = true;  // the CA line is in the CA log (or none is kept)
        std::vector<std::string> messages;  // console lines, each ending in a line feed
    };
    Written append(const std::string& code, bool success);

    // "<log path without its last 4 characters>_ca.csv".
    static std::string ca_path(const std::string& log_path);
    // "C0" followed by the last 8 characters of the code.
    static std::string ca_identifier(const std::string& code);

private:
    std::string m_path;
    Format m_format;
    bool m_ca;
    LocalClock m_clock;
    mutable std::mutex m_mutex;  // one reader or writer of the files at a time
};

}  // namespace stampa
