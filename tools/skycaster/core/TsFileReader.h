// Reads a transport-stream file packet by packet (188- or 204-byte packets,
// told apart by their sync bytes), in chunks, so a file of any size passes
// through a fixed buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ota {

class TsFileReader {
public:
    TsFileReader() = default;
    ~TsFileReader();
    TsFileReader(const TsFileReader&) = delete;
    TsFileReader& operator=(const TsFileReader&) = delete;

    // Opens the file and finds its packet size. False with a message.
    bool open(const std::string& path, std::string& error);
    // Back to the first packet.
    bool rewind();
    // The next packet (packet_size() bytes), nullptr at the end or on an
    // error (lost sync, read failure: see error()).
    const uint8_t* next();

    int packet_size() const { return m_psize; }
    uint64_t file_size() const { return m_fileSize; }
    uint64_t position() const { return m_consumed; }
    // Bytes after the last whole packet (a cut-off file), kept apart.
    const std::vector<uint8_t>& trailing() const { return m_trailing; }
    const std::string& error() const { return m_error; }

private:
    bool fill();

    std::string m_path;
    FILE* m_file = nullptr;
    int m_psize = 0;
    uint64_t m_fileSize = 0;
    uint64_t m_consumed = 0;
    std::vector<uint8_t> m_buf;
    size_t m_pos = 0, m_len = 0;
    std::vector<uint8_t> m_trailing;
    std::string m_error;
};

}  // namespace ota
