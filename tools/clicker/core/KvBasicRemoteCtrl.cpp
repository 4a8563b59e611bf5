#include "KvBasicRemoteCtrl.h"
#include "FileOps.h"

#include "Text.h"

#include "KeyFrame.h"
#include "RecordFile.h"

#include <KvBasicLog.h>
#include <SerialMonitorService.h>
#include <Workbook.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

using namespace clicker;

namespace {

constexpr size_t kMaxRecordFileBytes = 4u << 20;  // 2000 records fit many times over
constexpr int kSliceMs = 10;  // how often a wait for the answer looks at `stop`
constexpr int kTrailQuietMs = 20;  // quiet that ends the console text after the answer

int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string trim(const std::string& s) { return kv::trimmed(s); }

// A cell as the key map takes it: text as written, a whole number without a
// fraction, other numbers as %g.
std::string cell_text(const wb::Cell& c)
{
    switch (c.kind) {
    case wb::CellKind::Text: return trim(std::string(c.text()));
    case wb::CellKind::Number:
    case wb::CellKind::Bool:
        if (std::floor(c.number) == c.number && std::fabs(c.number) < 9.0e15)
            return std::to_string(static_cast<long long>(c.number));
        return sformat("%g", c.number);
    case wb::CellKind::Error: return "#ERROR";
    case wb::CellKind::Empty: break;
    }
    return {};
}

int32_t key_value_of(const std::string& digits)
{
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(v, 0, INT32_MAX));
}

// Line time of `bytes` bytes at `baud` (ten bits each), ms.
int line_ms(size_t bytes, int baud)
{
    return baud > 0 ? static_cast<int>(bytes * 10000 / static_cast<size_t>(baud)) : 0;
}

}  // namespace

CKvBasicRemoteCtrl::CKvBasicRemoteCtrl() : now_ms(steady_ms), m_codePage(kv::CodePage::from_settings()) {}

CKvBasicRemoteCtrl::~CKvBasicRemoteCtrl()
{
    if (m_file)
        std::fclose(m_file);
}

void CKvBasicRemoteCtrl::set_error(const std::string& e)
{
    std::lock_guard<std::mutex> l(m_errorMutex);
    m_error = e;
}

std::string CKvBasicRemoteCtrl::last_error() const
{
    std::lock_guard<std::mutex> l(m_errorMutex);
    return m_error;
}

// ---------------------------------------------------------------------------
// Key map

int CKvBasicRemoteCtrl::ExcelParser(const std::string& path, tag_remote* remote)
{
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(path, &book, &err)) {
        set_error(err);
        return 0;
    }
    if (book.sheets.empty()) {
        set_error("the workbook has no sheet");
        return 0;
    }
    const wb::Sheet& sheet = book.sheets.front();
    tag_remote map;
    for (size_t r = 1; r < sheet.row_count(); ++r) {  // row 0 is the heading
        std::string name = cell_text(sheet.at(r, 0)), value = cell_text(sheet.at(r, 1));
        std::string shortcut = cell_text(sheet.at(r, 2));
        if (name.empty() && value.empty() && shortcut.empty())
            continue;
        if (map.key_num == kMaxKeys) {
            set_error("more than " + std::to_string(kMaxKeys) + " keys");
            return 0;
        }
        map.name.push_back(name);
        map.value.push_back(value);
        map.shortcut.push_back(shortcut);
        ++map.key_num;
    }
    if (map.key_num == 0) {
        set_error("no key rows below the heading row");
        return 0;
    }
    *remote = std::move(map);
    return 1;
}

void CKvBasicRemoteCtrl::get_remote(tag_remote* remote) const
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    *remote = m_remote;
}

void CKvBasicRemoteCtrl::set_remote(const tag_remote& remote)
{
    std::lock_guard<std::mutex> l(m_mapMutex);
    m_remote = remote;
    m_KeyNum = remote.key_num;
}

int32_t CKvBasicRemoteCtrl::find_key(const std::string& name, const std::string& token) const
{
    if (name == kStartRecordName)
        return kStartMarker;
    std::lock_guard<std::mutex> l(m_mapMutex);
    for (const std::string& wanted : {name, token})
        for (int i = 0; i < m_remote.key_num; ++i)
            if (m_remote.name[static_cast<size_t>(i)] == wanted)
                return key_value_of(m_remote.value[static_cast<size_t>(i)]);
    return kUnknownKey;
}

// ---------------------------------------------------------------------------
// Sending

// Where the box's two-byte answer starts among `n` bytes, or n when none is there.
static size_t find_reply(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i + 1 < n; ++i)
        if ((p[i] == 'O' && p[i + 1] == 'K') || (p[i] == 'E' && (p[i + 1] == 0x01 || p[i + 1] == 0x02)))
            return i;
    return n;
}

// Sends the frame and scans what arrives for the box's two-byte answer; the
// console text the box prints around it goes on to the console.
static int exchange_key(CSerialMonitorSerivce* svc, int32_t value, int baud, const std::function<bool()>& stop)
{
    svc->SMS_FlushComData(20);
    auto frame = build_key_frame(value);
    uint32_t sent = 0;
    if (!svc->SMS_Send(frame.data(), kKeyFrameSize, &sent, 2000 + line_ms(kKeyFrameSize, baud)) ||
        sent != kKeyFrameSize)
        return kSendWriteFailed;
    std::vector<uint8_t> in;
    size_t at = 0;
    const int64_t deadline = steady_ms() + 300 + line_ms(kKeyReplySize, baud);
    int rc = kSendNoAnswer;
    for (;;) {
        if (rc == kSendNoAnswer && stop && stop()) {
            rc = kSendStopped;
            break;
        }
        const size_t found = find_reply(in.data(), in.size());
        if (found < in.size() && rc == kSendNoAnswer) {
            rc = decode_key_reply(&in[found]);
            at = found;
        }
        int64_t left = deadline - steady_ms();
        uint8_t buf[64];
        uint32_t got = 0;
        // After the answer, only the console line that follows it close behind.
        const int slice = rc == kSendNoAnswer ? kSliceMs : kTrailQuietMs;
        if (left <= 0 || !svc->SMS_Receive(buf, sizeof buf, &got, static_cast<int>(std::min<int64_t>(left, slice))))
            break;
        if (got == 0 && rc != kSendNoAnswer)
            break;
        in.insert(in.end(), buf, buf + got);
    }
    if (rc == kSendNoAnswer && in.size() >= kKeyReplySize)
        rc = kSendBadAnswer;
    const bool answered = rc != kSendNoAnswer && rc != kSendBadAnswer && rc != kSendStopped;
    if (answered)
        in.erase(in.begin() + static_cast<std::ptrdiff_t>(at),
                 in.begin() + static_cast<std::ptrdiff_t>(at + kKeyReplySize));
    if (!in.empty())
        WriteConsleData(in.data(), in.size());
    return rc;
}

int CKvBasicRemoteCtrl::send_key(int32_t value, int port_index, const std::function<bool()>& stop)
{
    std::lock_guard<std::mutex> l(m_sendMutex);
    CSerialMonitorSerivce* svc = m_pSerial;
    if (!svc)
        return kSendNoPort;
    std::vector<int> open = svc->SMS_IsPortOpen();
    if (port_index < 0 || static_cast<size_t>(port_index) >= open.size() || !open[static_cast<size_t>(port_index)])
        return kSendNoPort;
    serialport_config_tag cfg;
    svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg);
    // The service's own reader would take the answer: keep it off the line.
    const bool reader_was_on = svc->SMS_IsSvcRunning();
    if (reader_was_on)
        svc->SMS_StopSvc();
    const int rc = exchange_key(svc, value, cfg.baud_rate, stop);
    if (reader_was_on)
        svc->SMS_StartSvc();
    return rc;
}

// ---------------------------------------------------------------------------
// Record file

bool CKvBasicRemoteCtrl::write_text(const std::string& utf8)
{
    if (!m_file)
        return false;
    std::string bytes, bad;
    if (!m_codePage.to_box(utf8, bytes, &bad)) {
        // A character the box cannot hold: keep the rest of the line readable.
        bytes.clear();
        for (unsigned char c : utf8)
            bytes.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size() || std::fflush(m_file) != 0) {
        set_error(std::string("cannot write the record file: ") + std::strerror(errno));
        return false;
    }
    return true;
}

int CKvBasicRemoteCtrl::open_key_map_file(int mode, const std::string& path)
{
    std::lock_guard<std::recursive_mutex> l(m_tableMutex);
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (mode != 1)
        return 1;
    m_file = kv::open_file(path, "wb");
    if (!m_file) {
        set_error("cannot create " + path + ": " + std::strerror(errno));
        return 0;
    }
    m_lastKeyTime = m_StartTime;
    return 1;
}

int CKvBasicRemoteCtrl::add_key(int32_t value, const std::string& name)
{
    std::lock_guard<std::recursive_mutex> l(m_tableMutex);
    tag_record_table* t = m_pTable;
    if (!m_file || !t)
        return 0;
    const int n = std::max(0, t->count);
    if (n >= kMaxRecords) {
        set_error("the recording is full: at most " + std::to_string(kMaxRecords) + " records");
        return 0;
    }
    const int64_t now = now_ms();
    const int64_t since = n <= 1 ? m_StartTime : m_lastKeyTime;
    bool written = true;
    if (n > 0) {
        t->sleep_ms[n - 1] = static_cast<int32_t>(std::clamp<int64_t>(now - since, 0, INT32_MAX));
        written = write_text(record_line(record_name(*t, n - 1), t->sleep_ms[n - 1]));
    }
    t->key_value[n] = value;
    t->sleep_ms[n] = 0;
    set_record_name(*t, n, name);
    t->count = n + 1;
    m_lastKeyTime = now;
    return written ? 1 : 0;
}

int CKvBasicRemoteCtrl::write_last_line(const std::string& line)
{
    std::lock_guard<std::recursive_mutex> l(m_tableMutex);
    return write_text(line) ? 1 : 0;
}

int CKvBasicRemoteCtrl::load_key_map(const std::string& path)
{
    std::ifstream f(kv::file_path(path), std::ios::binary);
    if (!f) {
        set_error("cannot open " + path + ": " + std::strerror(errno));
        return 0;
    }
    // Read as it comes, one byte past the cap at most: a small file never
    // costs the cap's memory.
    std::string bytes;
    char buf[16 * 1024];
    while (f && bytes.size() <= kMaxRecordFileBytes) {
        f.read(buf, static_cast<std::streamsize>(std::min(sizeof buf, kMaxRecordFileBytes + 1 - bytes.size())));
        bytes.append(buf, static_cast<size_t>(f.gcount()));
    }
    if (bytes.size() > kMaxRecordFileBytes) {
        set_error(path + " is too large for a record file");
        return 0;
    }
    std::vector<RecordLine> lines;
    std::string err;
    if (!parse_record_text(m_codePage.to_screen(bytes), &lines, &err)) {
        set_error(path + ": " + err);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> l(m_tableMutex);
    tag_record_table* t = m_pTable;
    if (!t) {
        set_error("no record table");
        return 0;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const RecordLine& r = lines[i];
        std::string name = r.comment;
        const std::string suffix = kLastKeySuffix;
        if (r.closing && name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            name.resize(name.size() - suffix.size());
        const int k = static_cast<int>(i);
        t->key_value[k] = find_key(name, r.key);
        t->sleep_ms[k] = r.sleep_ms;
        set_record_name(*t, k, r.comment);
    }
    t->count = static_cast<int32_t>(lines.size());
    return 1;
}
