// One workbench per user on Windows: a named mutex in the session's
// namespace, and a pipe name that carries the user's name.
#include "InstanceClaim.h"

#include "WinText.h"

#include <windows.h>

namespace corvane::platform {

namespace {

constexpr const char* kGuardBase = "SingleInstanceChecker_MMF_CORVANE";

std::string user_name()
{
    wchar_t name[257];
    DWORD n = DWORD(sizeof(name) / sizeof(name[0]));
    if (!GetUserNameW(name, &n))
        return std::string();
    return kv::wide_to_utf8(name);
}

}  // namespace

std::string InstanceGuardName()
{
    const std::string user = user_name();
    if (user.empty())
        return std::string();
    // A backslash would end the pipe's name early (domain accounts).
    std::string name = std::string(kGuardBase) + "-" + user;
    for (char& c : name)
        if (c == '\\')
            c = '_';
    return name;
}

bool InstanceClaim::Claim()
{
    if (m_handle)
        return true;
    const std::string name = InstanceGuardName();
    if (name.empty())
        return false;
    HANDLE h = CreateMutexW(nullptr, FALSE, kv::utf8_to_wide("Local\\" + name).c_str());
    if (!h)
        return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        return false;
    }
    m_handle = h;
    return true;
}

void InstanceClaim::Release()
{
    if (m_handle)
        CloseHandle(static_cast<HANDLE>(m_handle));
    m_handle = nullptr;
}

}  // namespace corvane::platform
