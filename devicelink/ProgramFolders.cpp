#include "ProgramFolders.h"

#include "FileOps.h"

#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace kv {
namespace {

bool is_dir(const std::string& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string without_trailing_slash(std::string s)
{
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string parent_of(const std::string& dir)
{
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : dir.substr(0, slash);
}

// <prefix> when the program runs from <prefix>/bin of an installed tree.
std::string install_prefix()
{
    const std::string dir = program_directory();
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || dir.compare(slash + 1, std::string::npos, "bin") != 0)
        return std::string();
    const std::string prefix = parent_of(dir);
    return is_dir(prefix + "/lib/corvane/plugins") ? prefix : std::string();
}

bool make_dirs(const std::string& path, std::string* error)
{
    if (path.empty() || is_dir(path))
        return true;
    if (!make_dirs(parent_of(path), error))
        return false;
    if (!make_directory(path) && errno != EEXIST) {
        if (error)
            *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(kv::file_path(from), std::ios::binary);
    if (!in)
        return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return !in.bad() && write_file_atomic(to, bytes.data(), bytes.size());
}

}  // namespace

std::string installed_plugin_directory()
{
    const std::string prefix = install_prefix();
    return prefix.empty() ? std::string() : prefix + "/lib/corvane/plugins";
}

std::vector<std::string> plugin_directories()
{
    std::vector<std::string> dirs{program_directory()};
    const std::string installed = installed_plugin_directory();
    if (!installed.empty())
        dirs.push_back(installed);
    return dirs;
}

std::string data_directory()
{
    const char* home = std::getenv("CORVANE_HOME");
    if (home && *home)
        return without_trailing_slash(home);
    if (install_prefix().empty())
        return program_directory();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return without_trailing_slash(xdg) + "/corvane";
    const char* user = std::getenv("HOME");
    return std::string(user && *user ? user : "/tmp") + "/.local/share/corvane";
}

bool prepare_data_directory(std::string* error)
{
    const std::string data = data_directory();
    if (data == program_directory())
        return true;
    if (!make_dirs(data, error))
        return false;
    const std::string prefix = install_prefix();
    const std::string standins = prefix + "/share/corvane/stb";
    if (prefix.empty() || !is_dir(standins))
        return true;
    DIR* d = ::opendir(standins.c_str());
    if (!d)
        return true;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string to = data + "/" + name;
        struct stat st {};
        if (::stat(to.c_str(), &st) != 0)  // never overwrite what the user has
            copy_file(standins + "/" + name, to);
    }
    ::closedir(d);
    return true;
}

}  // namespace kv
