#include "BurnLog.h"
#include "FileOps.h"

#include "BootLink.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace stampa {

namespace {

constexpr const char* kLogHeading = "Stampa,Status\n";
constexpr const char* kCaHeading = "Stampa,ID,Status\n";
constexpr size_t kRotateLines = 1000;
constexpr uintmax_t kMaxLogBytes = 256u << 20;

bool exists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(kv::file_path(path), ec);
}

// The log's lines without their line ends; false when it cannot be read.
bool read_lines(const std::string& path, std::vector<std::string>* lines)
{
    lines->clear();
    std::error_code ec;
    if (fs::file_size(kv::file_path(path), ec) > kMaxLogBytes || ec)
        return false;
    std::vector<uint8_t> bytes;
    if (!bootlink::read_file(path, &bytes))
        return false;
    std::string line;
    for (uint8_t b : bytes) {
        if (b == '\n') {
            lines->push_back(line);
            line.clear();
        } else if (b != '\r') {
            line += static_cast<char>(b);
        }
    }
    if (!line.empty())
        lines->push_back(line);
    return true;
}

// The code and status fields of a log line, code,Status or ="code",Status;
// the status follows the last comma, so a code may hold commas.
void split_line(const std::string& line, std::string* code, std::string* status)
{
    size_t comma = line.rfind(',');
    *status = comma == std::string::npos ? "" : line.substr(comma + 1);
    *code = line.substr(0, comma);
    if (code->size() >= 3 && code->rfind("=\"", 0) == 0 && code->back() == '"')
        *code = code->substr(2, code->size() - 3);
}

bool same_prefix(const std::string& a, const std::string& b, size_t width)
{
    std::string x = width ? a.substr(0, width) : a;
    std::string y = width ? b.substr(0, width) : b;
    if (x.size() != y.size())
        return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(x[i])) != std::tolower(static_cast<unsigned char>(y[i])))
            return false;
    return true;
}

bool append_text(const std::string& path, const std::string& text)
{
    std::FILE* f = kv::open_file(path, "ab");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    return std::fclose(f) == 0 && ok;
}

bool backup(const std::string& path)
{
    std::vector<uint8_t> bytes;
    return bootlink::read_file(path, &bytes) && bootlink::write_file_atomic(path + ".bak", bytes.data(), bytes.size());
}

enum class AppendResult { Written, OpenFailed, BackupFailed, WriteFailed };

// Creates the file with its heading when new, backs it up, appends the line.
AppendResult append_with_backup(const std::string& path, const char* heading, const std::string& line)
{
    if (!exists(path) && !append_text(path, heading))
        return AppendResult::OpenFailed;
    if (!backup(path))
        return AppendResult::BackupFailed;
    return append_text(path, line) ? AppendResult::Written : AppendResult::WriteFailed;
}

}  // namespace

std::tm system_local_time()
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

BurnLog::BurnLog(std::string path, Format format, bool ca_log, LocalClock clock)
    : m_path(std::move(path)), m_format(format), m_ca(ca_log), m_clock(clock ? std::move(clock) : system_local_time)
{}

BurnLog::Seen BurnLog::seen(const std::string& code, int width, std::string* error) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!enabled() || !exists(m_path))
        return Seen::No;
    std::vector<std::string> lines;
    if (!read_lines(m_path, &lines)) {
        if (error)
            *error = "cannot read the burn log " + m_path;
        return Seen::Burnt;
    }
    size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    Seen seen = Seen::No;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string field, status;
        split_line(lines[i], &field, &status);
        if (!same_prefix(field, code, w))
            continue;
        if (status != "Failed")
            return Seen::Burnt;
        seen = Seen::Failed;
    }
    return seen;
}

bool BurnLog::rotate_if_needed(std::string* rotated_to, std::string* message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    if (!enabled() || !exists(m_path) || !read_lines(m_path, &lines) || lines.size() <= kRotateLines + 1)
        return true;
    std::tm t = m_clock();
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%d%d%d%d", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min);
    std::string target = m_path + suffix;
    for (int n = 2; exists(target) && n < 1000; ++n)
        target = m_path + suffix + "_" + std::to_string(n);
    std::error_code ec;
    fs::rename(kv::file_path(m_path), kv::file_path(target), ec);
    if (ec) {
        if (message)
            *message = "Rename log " + m_path + " failed: " + ec.message() + "\n";
        return false;
    }
    if (rotated_to)
        *rotated_to = target;
    return true;
}

BurnLog::Written BurnLog::append(const std::string& code, bool success)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Written w;
    const char* status = success ? "Success" : "Failed";
    std::string line = m_format == Format::Quoted ? "=\"" + code + "\"," + status + "\n" : code + "," + status + "\n";
    switch (append_with_backup(m_path, kLogHeading, line)) {
    case AppendResult::Written: w.ok = true; break;
    case AppendResult::OpenFailed: w.messages.push_back("Open Log failed!!!\n"); break;
    case AppendResult::WriteFailed: w.messages.push_back("Write Log failed!!!\n"); break;
    case AppendResult::BackupFailed:
        w.backup_failed = true;
        w.messages.push_back("Backup of the log failed, the result is not logged!!!\n");
        break;
    }
    if (!w.ok || !m_ca)
        return w;
    std::string ca_line = "=\"" + code + "\",=\"" + ca_identifier(code) + "\"," + status + "\n";
    switch (append_with_backup(ca_path(m_path), kCaHeading, ca_line)) {
    case AppendResult::Written: break;
    case AppendResult::OpenFailed:
        w.ca_ok = false;
        w.messages.push_back("Open CA CSV failed!!!\n");
        break;
    case AppendResult::WriteFailed:
    case AppendResult::BackupFailed:
        w.ca_ok = false;
        w.messages.push_back("Write CA CSV failed!!!\n");
        break;
    }
    return w;
}

std::string BurnLog::ca_path(const std::string& log_path)
{
    return log_path.substr(0, log_path.size() >= 4 ? log_path.size() - 4 : 0) + "_ca.csv";
}

std::string BurnLog::ca_identifier(const std::string& code)
{
    return "C0" + (code.size() > 8 ? code.substr(code.size() - 8) : code);
}

}  // namespace stampa
