// The boot ROM's download mode (`stbsim --download-to FILE`): the box keeps
// every byte the host streams to its boot ROM, so that a test can compare
// them with the image it sent. In this mode the boot ROM takes no word
// instructions; a stand-in program file (a cache-calibration image) sent
// whole is still loaded and run. A download begins with the first byte that
// is not such a file and ends when the line has been quiet for two seconds;
// the next one replaces it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace stbsim {

struct Box;

class DownloadStore {
public:
    ~DownloadStore();
    // Starts a new download; `path` (if any) is rewritten as bytes arrive.
    void begin(const std::string& path);
    void append(const uint8_t* data, size_t n);
    // Writes what is pending to the file.
    void flush();
    std::vector<uint8_t> bytes() const;
    uint64_t received() const;

private:
    void close_file_locked();

    mutable std::mutex m_;
    std::vector<uint8_t> bytes_;
    uint64_t received_ = 0;
    FILE* file_ = nullptr;
};

// Keeps what the host streams, beginning with `head`, until the line falls
// quiet. Returns -1 (no byte pending for the boot ROM).
int keep_download(Box& b, const uint8_t* head, size_t n);

}  // namespace stbsim
