// The operating-system side of plug-in loading: which files of a folder are
// libraries, and opening, asking and closing one. No Qt here.
//
// POSIX: `*.so`, dlopen(RTLD_NOW | RTLD_LOCAL), dlsym, dlclose.
// Windows: `*.dll`, LoadLibraryW (UTF-8 paths made wide), GetProcAddress,
// FreeLibrary.
#pragma once

#include <string>
#include <vector>

namespace corvane::platform {

// The characters that end a folder in a path ("/" here, "/\\" on Windows).
extern const char* const kPathSeparators;

// The library files of `folder` (empty: the current folder), full paths, in
// name order; only regular files.
std::vector<std::string> ListModuleFiles(const std::string& folder);
// Opens the library; null with the system's reason in *error on failure.
void* OpenModule(const std::string& path, std::string* error);
// The address of exported `name`, or null.
void* FindSymbol(void* module, const char* name);
void CloseModule(void* module);

}  // namespace corvane::platform
