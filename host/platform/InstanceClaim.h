// The operating-system side of "one workbench per user". No Qt here: the
// workbench's local server (SingleInstance.h) answers on the guard name and
// holds the claim while it runs.
#pragma once

#include <string>

namespace corvane::platform {

// Where the guard's local server answers. POSIX: the socket
// "SingleInstanceChecker_MMF_CORVANE" in the user's private runtime folder.
// Windows: the pipe "SingleInstanceChecker_MMF_CORVANE-<user name>" (pipe
// names are machine-wide). Empty when no such name can be made.
std::string InstanceGuardName();

// A claim only one process of the user holds at a time. POSIX: the guard's
// socket is the claim, so Claim() always succeeds. Windows: the named mutex
// "Local\SingleInstanceChecker_MMF_CORVANE-<user name>", which two pipe
// servers of one name would not give (both may listen); it is let go by
// Release(), the destructor or the end of the process.
class InstanceClaim {
public:
    InstanceClaim() = default;
    ~InstanceClaim() { Release(); }
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    // False when another process holds it.
    bool Claim();
    void Release();

private:
    void* m_handle = nullptr;
};

}  // namespace corvane::platform
