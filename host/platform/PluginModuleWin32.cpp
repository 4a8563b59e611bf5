// Plug-in libraries on Windows: every `*.dll`, opened with LoadLibraryW.
#include "PluginModule.h"

#include "WinText.h"

#include <windows.h>

#include <algorithm>

namespace corvane::platform {

const char* const kPathSeparators = "/\\";

namespace {

bool ends_with_dll(const std::wstring& n)
{
    if (n.size() <= 4)
        return false;
    return CompareStringOrdinal(n.c_str() + n.size() - 4, 4, L".dll", 4, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<std::string> ListModuleFiles(const std::string& folder)
{
    std::string base = folder.empty() ? std::string(".") : folder;
    if (base.back() != '/' && base.back() != '\\')
        base += '\\';
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    // "*.dll" would also match "x.dllfoo" through the short names: check the end again.
    HANDLE find = FindFirstFileW(kv::utf8_to_wide(base + "*.dll").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring n = fd.cFileName;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && ends_with_dll(n))
            names.push_back(kv::wide_to_utf8(n));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    std::sort(names.begin(), names.end());
    for (auto& n : names)
        n = base + n;
    return names;
}

void* OpenModule(const std::string& path, std::string* error)
{
    // No "cannot find a DLL" dialog box: the failure is reported instead.
    const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE h = LoadLibraryW(kv::utf8_to_wide(path).c_str());
    const DWORD code = GetLastError();
    SetErrorMode(old_mode);
    if (!h && error) {
        // Some system texts name the file as "%1".
        *error = kv::win32_error_text(code);
        for (size_t at; (at = error->find("%1")) != std::string::npos;)
            error->replace(at, 2, "the library");
    }
    return reinterpret_cast<void*>(h);
}

void* FindSymbol(void* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void CloseModule(void* module)
{
    if (module)
        FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace corvane::platform
