// The few file operations whose POSIX and Windows forms differ, behind one
// interface (FileOps.cpp, FileOpsWin32.cpp). Paths are UTF-8 everywhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv {

// std::fopen with a UTF-8 path.
FILE* open_file(const std::string& path, const char* mode);
// A UTF-8 path as the standard library's file streams and std::filesystem
// take it (on Windows through UTF-16, so that no name is lost to a code page).
std::filesystem::path file_path(const std::string& path);
// And back: a path as UTF-8 text.
std::string path_text(const std::filesystem::path& path);
// Creates `path`, which must not exist yet (errno EEXIST when it does), for
// writing ("wb"); it takes the permissions of `like` when that file exists.
FILE* create_new_file(const std::string& path, const std::string& like);
bool remove_file(const std::string& path);
// A new empty file of a unique name starting with `base`, with the usual
// permissions; its name, or empty when none can be made.
std::string make_temp_file(const std::string& base);
// A descriptor for reading `path` (never blocking on a FIFO, not inherited
// by child processes), or -1 with errno set.
int open_for_reading(const std::string& path);
// Whole pages straight from the system, for large arenas (huge pages where
// the system offers them); null when none are left.
void* alloc_pages(size_t len);
void free_pages(void* p, size_t len);
// Makes one folder (mode 0755 on POSIX); false with errno set when it fails
// (EEXIST: something is there already).
bool make_directory(const std::string& path);
// Pushes what was written to `f` to the disk (fflush + fsync).
bool sync_file(FILE* f);
// Renames `from` over `to`, replacing a file that is there.
bool replace_file(const std::string& from, const std::string& to);
// Appends `data` to `path` (made if missing) in one write, then syncs it
// to the disk when `sync` is set.
bool append_to_file(const std::string& path, std::string_view data, bool sync);
// A file kept open for appending (made if missing): a handle >= 0, or -1.
intptr_t open_append(const std::string& path);
// One write of `data` at the end (never interleaved with another writer's),
// then its data synced to the disk.
bool append_data_synced(intptr_t handle, std::string_view data);
void close_file(intptr_t handle);
// Takes the exclusive lock file `path` (made if missing) without waiting:
// a handle >= 0 while held, -1 when another process holds it or it cannot be made.
intptr_t try_lock_file(const std::string& path);
void unlock_file(intptr_t handle);
// This process's id.
long process_id();

}  // namespace kv
