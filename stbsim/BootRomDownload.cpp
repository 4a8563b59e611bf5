#include "BootRomDownload.h"

#include "SimInternal.h"

namespace stbsim {

namespace {
constexpr int kQuietEndMs = 2000;  // a pause this long ends the download
constexpr int kPollMs = 200;  // the file is brought up to date this often
constexpr size_t kMaxKept = size_t(256) << 20;  // no box memory is larger
}  // namespace

DownloadStore::~DownloadStore()
{
    std::lock_guard<std::mutex> l(m_);
    close_file_locked();
}

void DownloadStore::close_file_locked()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

void DownloadStore::begin(const std::string& path)
{
    std::lock_guard<std::mutex> l(m_);
    close_file_locked();
    bytes_.clear();
    received_ = 0;
    if (!path.empty())
        file_ = std::fopen(path.c_str(), "wb");
}

void DownloadStore::append(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> l(m_);
    received_ += n;
    size_t keep = bytes_.size() < kMaxKept ? std::min(n, kMaxKept - bytes_.size()) : 0;
    bytes_.insert(bytes_.end(), data, data + keep);
    if (file_ && keep)
        std::fwrite(data, 1, keep, file_);
}

void DownloadStore::flush()
{
    std::lock_guard<std::mutex> l(m_);
    if (file_)
        std::fflush(file_);
}

std::vector<uint8_t> DownloadStore::bytes() const
{
    std::lock_guard<std::mutex> l(m_);
    return bytes_;
}

uint64_t DownloadStore::received() const
{
    std::lock_guard<std::mutex> l(m_);
    return received_;
}

int keep_download(Box& b, const uint8_t* head, size_t n)
{
    DownloadStore& d = b.download;
    d.begin(b.opt.download_path);
    d.append(head, n);
    b.trace("boot ROM: a download begins");
    int quiet = 0;
    uint64_t lost = 0;
    while (quiet < kQuietEndMs) {
        int c = b.get(kPollMs);
        if (c == kTimeout) {
            d.flush();
            quiet += kPollMs;
            continue;
        }
        quiet = 0;
        if (c == kNoise) {
            ++lost;  // a byte at another rate: the box cannot keep it
            continue;
        }
        uint8_t byte = static_cast<uint8_t>(c);
        d.append(&byte, 1);
    }
    d.flush();
    b.trace("boot ROM: the download ends after %llu bytes (%llu garbled bytes lost)", (unsigned long long)d.received(),
            (unsigned long long)lost);
    return -1;
}

}  // namespace stbsim
