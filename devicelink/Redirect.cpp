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
        w = waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG);
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
        kill(static_cast<pid_t>(m_pid), SIGTERM);
        int status = 0;
        waitpid(static_cast<pid_t>(m_pid), &status, 0);
        m_pid = -1;
    }
}
