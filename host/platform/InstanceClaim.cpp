// One workbench per user on POSIX: the guard is a socket in the user's
// private runtime folder (mode 0700), so two users never meet each other's.
#include "InstanceClaim.h"

#include "KvLogRecord.h"

namespace corvane::platform {

std::string InstanceGuardName()
{
    const std::string dir = kv::log_socket_dir();
    if (dir.empty())
        return std::string();
    return dir + "/SingleInstanceChecker_MMF_CORVANE";
}

// The socket the workbench listens on is the claim itself.
bool InstanceClaim::Claim() { return true; }
void InstanceClaim::Release() { m_handle = nullptr; }

}  // namespace corvane::platform
