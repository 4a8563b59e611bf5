#include "Redirect.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

CRedirect::CRedirect(void*) {}

CRedirect::~CRedirect()
{
    // Reap a finished child; a running one is left to run.
    if (m_pid > 0)
        IsChildRunning();
}

std::vector<std::string> CRedirect::SplitCommandLine(const std::string& line)
{
    std::vector<std::string> words;
    std::string cur;
    bool in_word = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            // Backslashes are literal unless they precede a quote.
            size_t n = 0;
            while (i + n < line.size() && line[i + n] == '\\')
                ++n;
            if (i + n < line.size() && line[i + n] == '"') {
                cur.append(n / 2, '\\');
                if (n % 2) {
                    cur += '"';
                    i += n;  // the escaped quote
                } else {
                    i += n - 1;  // the quote is handled next turn
                }
            } else {
                cur.append(n, '\\');
                i += n - 1;
            }
            in_word = true;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) {
                words.push_back(cur);
                cur.clear();
                in_word = false;
            }
            continue;
        }
        cur += c;
        in_word = true;
    }
    if (in_word)
        words.push_back(cur);
    return words;
}

int CRedirect::StartChildProcess(const std::string& command_line, int)
{
    if (m_pid > 0 && IsChildRunning())
        return 0;
    std::vector<std::string> words = SplitCommandLine(command_line);
    if (words.empty())
        return 0;
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The child's standard input is empty; its output goes where ours goes.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    // glibc reports a program that cannot be executed here, not in the child.
    if (rc != 0)
        return 0;
    m_pid = pid;
    m_exitCode = -1;
    return 1;
}

int CRedirect::IsChildRunning()
{
    if (m_pid <= 0)
        return 0;
    int status = 0;
    pid_t w;
    do {
        w = waitpid(m_pid, &status, WNOHANG);
    } while (w < 0 && errno == EINTR);
    if (w == 0)
        return 1;
    if (w == m_pid)
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return 0;
}

void CRedirect::Terminate()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}
