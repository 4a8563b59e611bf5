#include "FileOps.h"

#include "WinText.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <windows.h>

namespace kv {

FILE* open_file(const std::string& path, const char* mode)
{
    return _wfopen(utf8_to_wide(path).c_str(), utf8_to_wide(mode).c_str());
}

std::filesystem::path file_path(const std::string& path) { return std::filesystem::path(utf8_to_wide(path)); }

std::string path_text(const std::filesystem::path& path) { return wide_to_utf8(path.wstring()); }

FILE* create_new_file(const std::string& path, const std::string& /*like*/)
{
    // _O_EXCL: fails with EEXIST when the name is taken.
    int fd = -1;
    if (_wsopen_s(&fd, utf8_to_wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE) != 0)
        return nullptr;
    FILE* f = _fdopen(fd, "wb");
    if (!f)
        _close(fd);
    return f;
}

bool remove_file(const std::string& path) { return _wremove(utf8_to_wide(path).c_str()) == 0; }

std::string make_temp_file(const std::string& base)
{
    for (unsigned n = 0; n < 100; ++n) {
        const std::string tmp =
            base + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount() + n);
        if (FILE* f = create_new_file(tmp, base)) {
            std::fclose(f);
            return tmp;
        }
        if (errno != EEXIST)
            break;
    }
    return std::string();
}

int open_for_reading(const std::string& path)
{
    return _wopen(utf8_to_wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void* alloc_pages(size_t len) { return VirtualAlloc(nullptr, len, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void free_pages(void* p, size_t) { VirtualFree(p, 0, MEM_RELEASE); }

bool make_directory(const std::string& path) { return _wmkdir(utf8_to_wide(path).c_str()) == 0; }

bool sync_file(FILE* f)
{
    return std::fflush(f) == 0 && FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
}

bool replace_file(const std::string& from, const std::string& to)
{
    return MoveFileExW(utf8_to_wide(from).c_str(), utf8_to_wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool append_to_file(const std::string& path, std::string_view data, bool sync)
{
    HANDLE h = CreateFileW(utf8_to_wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == data.size() && (!sync || FlushFileBuffers(h));
    CloseHandle(h);
    return ok;
}

intptr_t open_append(const std::string& path)
{
    HANDLE h = CreateFileW(utf8_to_wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

bool append_data_synced(intptr_t handle, std::string_view data)
{
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DWORD written = 0;
    const bool ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    FlushFileBuffers(h);
    return ok && written == data.size();
}

void close_file(intptr_t handle)
{
    if (handle >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

intptr_t try_lock_file(const std::string& path)
{
    HANDLE h = CreateFileW(utf8_to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED ov{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &ov))
        return reinterpret_cast<intptr_t>(h);
    CloseHandle(h);
    return -1;
}

void unlock_file(intptr_t handle)
{
    if (handle >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace kv
