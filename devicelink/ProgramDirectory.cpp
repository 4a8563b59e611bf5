// The folder of the running executable, on Linux from /proc/self/exe.
#include "ProgramFolders.h"

#include <climits>
#include <unistd.h>

namespace kv {

std::string program_directory()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0)
        return ".";
    const std::string exe(buf, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : exe.substr(0, slash);
}

}  // namespace kv
