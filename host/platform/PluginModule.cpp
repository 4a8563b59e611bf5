// Plug-in libraries on POSIX: every `*.so`, opened with dlopen.
#include "PluginModule.h"

#include <algorithm>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

namespace corvane::platform {

const char* const kPathSeparators = "/";

std::vector<std::string> ListModuleFiles(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!d)
        return names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.size() <= 3 || n.compare(n.size() - 3, 3, ".so") != 0)
            continue;
        names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    std::string base = folder.empty() ? std::string(".") : folder;
    if (base.back() != '/')
        base += '/';
    for (const auto& n : names) {
        std::string p = base + n;
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            paths.push_back(p);
    }
    return paths;
}

void* OpenModule(const std::string& path, std::string* error)
{
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h && error) {
        const char* err = ::dlerror();
        *error = err ? err : "cannot be loaded";
    }
    return h;
}

void* FindSymbol(void* module, const char* name)
{
    ::dlerror();
    return ::dlsym(module, name);
}

void CloseModule(void* module)
{
    if (module)
        ::dlclose(module);
}

}  // namespace corvane::platform
