#include "RcLogFile.h"
#include "FileOps.h"

#include <KvBasicCfgIni.h>

#include <cstdio>

namespace clicker {

RcLogFile::RcLogFile() : m_folder(CKvBasicCfgIni::get_cur_root_directory()), m_now([] { return std::time(nullptr); }) {}

void RcLogFile::set_folder(const std::string& dir)
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_folder = dir;
}

std::string RcLogFile::path() const
{
    std::time_t now = m_now();
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name, "RCLog_%04u%02u%02u.txt", static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday));
    std::lock_guard<std::mutex> l(m_mutex);
    return m_folder + "/" + name;
}

bool RcLogFile::append(const std::string& text)
{
    const std::string file = path();
    std::lock_guard<std::mutex> l(m_mutex);
    FILE* f = kv::open_file(file, "ab");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    return std::fclose(f) == 0 && ok;
}

}  // namespace clicker
