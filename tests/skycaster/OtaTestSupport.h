// Helpers of the skycaster suites: images, commands and the independent
// stream reader.
#pragma once

#include "ScratchDir.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace otatest {

// What a shell command printed (stdout and stderr) and its exit status.
inline std::string run(const std::string& cmd, int* status)
{
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// An image of `size` bytes: random, or half zeros (so zlib has work to do).
inline std::vector<uint8_t> make_image(size_t size, uint32_t seed, bool compressible = false)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = compressible && (i / 512) % 2 ? uint8_t(i / 4096) : uint8_t(rng());
    return v;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The independent reader's verdict on a stream: status 0 when every check
// passed; `args` names the images the groups must give back.
inline std::string read_back(const std::string& stream, const std::string& args, int* status)
{
    return run("/usr/bin/python3 '" OTA_READER "' '" + stream + "' " + args, status);
}

}  // namespace otatest
