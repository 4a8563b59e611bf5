#include "TsFileReader.h"
#include "FileOps.h"

#include "TsPackets.h"

#include <cerrno>
#include <cstring>

namespace ota {
namespace {
constexpr size_t kChunkPackets = 4096;
}

TsFileReader::~TsFileReader()
{
    if (m_file)
        std::fclose(m_file);
}

bool TsFileReader::open(const std::string& path, std::string& error)
{
    m_path = path;
    m_file = kv::open_file(path, "rb");
    if (!m_file) {
        error = "Can't open file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    std::fseek(m_file, 0, SEEK_SET);
    m_fileSize = size > 0 ? uint64_t(size) : 0;
    uint8_t head[5 * 204] = {};
    const size_t got = std::fread(head, 1, sizeof head, m_file);
    for (int psize : {188, 204}) {
        bool sync = got >= size_t(psize);
        for (size_t at = 0; sync && at < got; at += size_t(psize))
            sync = head[at] == kTsSync;
        if (sync) {
            m_psize = psize;
            break;
        }
    }
    if (!m_psize) {
        error = path + " is not a transport stream (no 188- or 204-byte packets)";
        return false;
    }
    m_buf.resize(kChunkPackets * size_t(m_psize));
    return rewind();
}

bool TsFileReader::rewind()
{
    m_pos = m_len = 0;
    m_consumed = 0;
    m_trailing.clear();
    m_error.clear();
    return m_file && std::fseek(m_file, 0, SEEK_SET) == 0;
}

bool TsFileReader::fill()
{
    const size_t keep = m_len - m_pos;
    std::memmove(m_buf.data(), m_buf.data() + m_pos, keep);
    m_pos = 0;
    m_len = keep + std::fread(m_buf.data() + keep, 1, m_buf.size() - keep, m_file);
    if (std::ferror(m_file)) {
        m_error = "Can't read " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

const uint8_t* TsFileReader::next()
{
    const size_t psize = size_t(m_psize);
    if (!m_file || !m_error.empty())
        return nullptr;
    if (m_len - m_pos < psize && (!fill() || m_len - m_pos < psize)) {
        m_trailing.assign(m_buf.data() + m_pos, m_buf.data() + m_len);
        m_pos = m_len;
        return nullptr;
    }
    const uint8_t* p = m_buf.data() + m_pos;
    if (p[0] != kTsSync) {
        m_error = m_path + ": lost packet sync at byte " + std::to_string(m_consumed);
        return nullptr;
    }
    m_pos += psize;
    m_consumed += psize;
    return p;
}

}  // namespace ota
