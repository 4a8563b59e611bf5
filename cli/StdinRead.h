// Reading standard input while a job runs: a read that never blocks for
// longer than a tenth of a second, so that the end of the job (or Ctrl+C)
// never leaves anyone waiting for a key.
#pragma once

#include <cerrno>
#include <functional>
#include <unistd.h>

#include "Console.h"

namespace cli_stdin {

enum class Read { Char, End, Stopped };

// The next character of standard input into *c while `go_on()` holds:
// Char, End (end of the input), or Stopped (`go_on` no longer holds, or the
// input failed).
inline Read next_char(const std::function<bool()>& go_on, char* c)
{
    while (go_on()) {
        const int r = kv::stdin_ready(100);
        if (r < 0)
            return Read::Stopped;
        if (r <= 0)
            continue;
        const ssize_t n = ::read(STDIN_FILENO, c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? Read::Char : n == 0 ? Read::End : Read::Stopped;
    }
    return Read::Stopped;
}

}  // namespace cli_stdin
