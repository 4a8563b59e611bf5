#include "LineTestSupport.h"

#include "KvBasicLog.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

LogCapture::LogCapture()
{
    kv::log_set_fallback(kv::LogFallback::None);
    m_id = kv::log_add_listener([this](int, const std::string& t) {
        std::lock_guard<std::mutex> l(m_mutex);
        m_text += t;
    });
}
LogCapture::~LogCapture() { kv::log_remove_listener(m_id); }
std::string LogCapture::text() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_text;
}
int LogCapture::count(const std::string& s) const
{
    std::string t = text();
    int n = 0;
    for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + s.size()))
        ++n;
    return n;
}
void LogCapture::clear()
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_text.clear();
}

double since(int64_t t0) { return double(bootlink::now_ms() - t0) / 1000.0; }

void LineTest::open(stbsim::Options o, int baud)
{
    static std::atomic<int> serial{0};
    dir = (std::filesystem::temp_directory_path() /
           ("bootlink_" + std::to_string(::getpid()) + "_" + std::to_string(serial++)))
              .string();
    std::filesystem::create_directories(dir);
    std::string err;
    ASSERT_TRUE(stbsim::write_stb_files(dir, nullptr, &err)) << err;
    // The box's readiness times shrink with the host's pauses.
    o.client_ready_ms = int(o.client_ready_ms * kPauseScale);
    o.burn_ready_ms = int(o.burn_ready_ms * kPauseScale);
    ASSERT_TRUE(BoxRig::start(o, &err, baud)) << err;
    svc.SMS_StopSvc();  // the tests talk to the line themselves
    kv::set_current_serial_service(&svc);
    ctx.svc = &svc;
    ctx.root_dir = dir;
    ctx.cancel = &cancel;
    ctx.keep_going = &keep_going;
    ctx.observer = &obs;
    ctx.pause_scale = kPauseScale;
}

bool LineTest::reset_and_sync()
{
    box->reset();
    int64_t t0 = bootlink::now_ms();
    while (since(t0) < 3.0) {
        uint8_t b = 0;
        uint32_t got = 0;
        svc.SMS_Receive(&b, 1, &got, 200);
        if (got == 1 && b == 'R')
            return true;
    }
    return false;
}

void LineTest::put_file(const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path(name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string LineTest::path(const std::string& name) const { return (std::filesystem::path(dir) / name).string(); }

void LineTest::TearDown()
{
    kv::set_current_serial_service(nullptr);
    stop();
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}
