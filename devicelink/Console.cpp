#include "Console.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kv {

int console_columns()
{
    winsize ws{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

int stdin_ready(int timeout_ms)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

std::string machine_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

std::vector<std::string> utf8_command_line(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace kv
