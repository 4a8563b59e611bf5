// Where the log server listens on POSIX: a per-user folder of mode 0700.
#include "KvLogRecord.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

std::string log_socket_dir(std::string* error)
{
    // $XDG_RUNTIME_DIR/corvane, else a per-user folder in /tmp. The host
    // hands that fallback to Qt as its runtime folder when the variable is
    // unset, so the fallback itself names the same folder.
    const std::string fallback = "/tmp/corvane-" + std::to_string(getuid());
    std::string base = fallback;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg && fallback != xdg)
        base = std::string(xdg) + "/corvane";
    if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = "cannot create " + base + ": " + std::strerror(errno);
        return std::string();
    }
    struct stat st {};
    if (lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = base + " is not a folder";
        return std::string();
    }
    if (st.st_uid != getuid()) {
        if (error)
            *error = base + " belongs to another user";
        return std::string();
    }
    if ((st.st_mode & 0077) != 0 && chmod(base.c_str(), 0700) != 0) {
        if (error)
            *error = base + " is open to other users and cannot be closed";
        return std::string();
    }
    return base;
}

std::string log_socket_path(std::string* error)
{
    std::string dir = log_socket_dir(error);
    if (dir.empty())
        return dir;
    return dir + "/" + kLogPipeName;
}

}  // namespace kv
