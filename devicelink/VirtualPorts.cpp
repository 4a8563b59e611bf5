#include "VirtualPorts.h"

#include "KvLogRecord.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>

namespace kv {

namespace {

// The process id in "stbsim-<pid>.port", or 0.
long pid_of(const std::string& name)
{
    static const std::string head = "stbsim-", tail = ".port";
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return 0;
    std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    char* end = nullptr;
    long pid = std::strtol(digits.c_str(), &end, 10);
    return (end && *end == '\0' && pid > 0) ? pid : 0;
}

bool alive(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

std::string resolved(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

}  // namespace

std::string virtual_stb_port_file(long pid) { return "stbsim-" + std::to_string(pid) + ".port"; }

std::vector<std::string> virtual_stb_ports()
{
    std::vector<std::string> out;
    const std::string dir = log_socket_dir();
    DIR* d = dir.empty() ? nullptr : ::opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = ::readdir(d)) {
        const long pid = pid_of(e->d_name);
        if (!pid || !alive(pid))
            continue;
        std::ifstream f(dir + "/" + e->d_name);
        std::string line;
        if (!f || !std::getline(f, line) || line.size() > 1024)
            continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        // Only a character device that exists now: a file left by a virtual
        // STB that ended is ignored.
        struct stat st {};
        if (::stat(line.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
            out.push_back(line);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool is_virtual_stb_port(const std::string& path)
{
    const std::string want = resolved(path);
    if (want.empty())
        return false;
    for (const std::string& p : virtual_stb_ports())
        if (resolved(p) == want)
            return true;
    return false;
}

}  // namespace kv
