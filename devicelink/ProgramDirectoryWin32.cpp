// The folder of the running executable on Windows (GetModuleFileNameW), with
// forward slashes like every other path here (Windows takes them too).
#include "ProgramFolders.h"

#include "WinText.h"

#include <windows.h>

namespace kv {

std::string program_directory()
{
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size())
        return ".";
    std::string exe = wide_to_utf8(std::wstring_view(buf.data(), n));
    for (char& c : exe)
        if (c == '\\')
            c = '/';
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

}  // namespace kv
