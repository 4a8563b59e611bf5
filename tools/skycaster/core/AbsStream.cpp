#include "AbsStream.h"

#include "ByteOrder.h"
#include "DsmccCarousel.h"
#include "Mpeg2Crc.h"

#include <algorithm>

namespace ota {
namespace {

constexpr size_t kNumDefects = 13;

struct AbsLayout {
    abs_upg_info_t shown;  // what the control section announces
    bool defect = false;
    AbsDefect kind{};
    uint32_t size = 0;
    uint32_t crc = 0;
    size_t blocks = 0;
};

std::vector<uint8_t> control_section(const AbsLayout& l)
{
    std::vector<uint8_t> b{l.shown.manufacture_id, l.shown.hardware_id, l.shown.model_id};
    kv::append_be16(b, l.shown.sw_version);
    b.push_back(l.shown.force_update ? kAbsFlagForce : 0);
    kv::append_be32(b, l.size);
    kv::append_be32(b, l.crc);
    kv::append_be16(b, kAbsBlockSize);
    kv::append_be16(b, static_cast<uint16_t>(l.blocks));
    kv::append_be16(b, 0xFFFF);  // reserved
    kv::append_be16(b, 0xFFFF);
    auto sec =
        make_section({kTableAbsControl, true, static_cast<uint16_t>(l.shown.manufacture_id << 8 | l.shown.hardware_id),
                      static_cast<uint8_t>(l.shown.sw_version & 0x1F), 0, 0},
                     b);
    if (l.defect && l.kind == AbsDefect::ControlCrc)
        sec.back() ^= 0xFF;
    return sec;
}

std::vector<uint8_t> pmt_descriptor(const abs_upg_info_t& i)
{
    std::vector<uint8_t> d{kTagAbsDownload, 5, i.manufacture_id, i.hardware_id, i.model_id};
    kv::append_be16(d, i.sw_version);
    return d;
}

// The page's values, changed as the defect says.
AbsLayout layout_for(const abs_upg_info_t& info, const uint8_t* image, size_t len)
{
    AbsLayout l;
    l.shown = info;
    l.defect = info.error_stream;
    l.kind = static_cast<AbsDefect>(info.error_type);
    l.size = static_cast<uint32_t>(len);
    l.crc = mpeg2_crc32(image, len);
    l.blocks = (len + kAbsBlockSize - 1) / kAbsBlockSize;
    if (!l.defect)
        return l;
    switch (l.kind) {
    case AbsDefect::WrongManufacturer: l.shown.manufacture_id ^= 0xFF; break;
    case AbsDefect::WrongHardware: l.shown.hardware_id ^= 0xFF; break;
    case AbsDefect::WrongModel: l.shown.model_id ^= 0xFF; break;
    case AbsDefect::OldVersion: l.shown.sw_version = 0; break;
    case AbsDefect::ImageCrc: l.crc = ~l.crc; break;
    case AbsDefect::HostileSize: l.size = 0xFFFFFFFFu; break;
    default: break;
    }
    return l;
}

bool has(const AbsLayout& l, AbsDefect d) { return l.defect && l.kind == d; }

}  // namespace

const std::vector<std::string>& abs_error_case_names()
{
    static const std::vector<std::string> names{"5_6_6_2", "5_6_6_3",  "5_6_6_5",  "5_6_6_6", "5_6_6_7",
                                                "5_6_6_9", "5_6_6_14", "5_6_6_15", "5_6_7_1", "5_6_7_3",
                                                "5_6_7_4", "5_6_7_5",  "5_6_7_6"};
    return names;
}

const char* abs_defect_text(AbsDefect d)
{
    static const char* const texts[kNumDefects] = {
        "the control section names another manufacturer (id XOR 0xFF)",
        "the control section names another hardware (id XOR 0xFF)",
        "the control section names another model (id XOR 0xFF)",
        "the control section announces software version 0 (never newer)",
        "the control section's CRC-32 is wrong",
        "the middle data section's CRC-32 is wrong",
        "the last data section is never sent",
        "the image CRC-32 in the control section is wrong",
        "the control section announces an image of 0xFFFFFFFF bytes",
        "the PMT does not announce the elementary PID",
        "the data sections carry another version number than the control section",
        "the data sections are sent last block first",
        "the control section is never sent",
    };
    const auto i = static_cast<size_t>(d);
    return i < kNumDefects ? texts[i] : "";
}

bool build_abs_stream(const abs_upg_info_t& info, const uint8_t* image, size_t len, OtaCycle& cycle, std::string& error)
{
    error = check_data_pid(info.elementary_pid);
    if (error.empty() && !check_data_pid(info.pmt_pid).empty())
        error = "PMT PID: " + check_data_pid(info.pmt_pid);
    if (error.empty() && info.pmt_pid == info.elementary_pid)
        error = "The PMT PID and the elementary PID must differ";
    if (error.empty() && (len == 0 || len > kMaxImageSize))
        error = len ? "The binary file size is too big" : "The binary file is empty";
    if (error.empty() && info.error_stream && (info.error_type < 0 || size_t(info.error_type) >= kNumDefects))
        error = "Unknown error stream type";
    if (!error.empty())
        return false;

    const AbsLayout l = layout_for(info, image, len);
    cycle.reset();
    cycle.data_pid = info.elementary_pid;
    cycle.pmt_pid = info.pmt_pid;
    cycle.pmt_pid_fixed = true;
    if (!has(l, AbsDefect::NotInPmt))
        cycle.streams = {{kStreamTypePrivateSections, info.elementary_pid, pmt_descriptor(info)}};
    cycle.packets.reserve(len + len / 8 + (64 << 10));

    const std::vector<uint8_t> control = control_section(l);
    const uint8_t data_version =
        static_cast<uint8_t>((info.sw_version + (has(l, AbsDefect::DataVersion) ? 1 : 0)) & 0x1F);
    CycleBuilder out(cycle);
    std::vector<uint8_t> sec;
    for (size_t n = 0; n < l.blocks; ++n) {
        if (n % kControlEvery == 0 && !has(l, AbsDefect::NoControl))
            out.put_section(control);
        const size_t blk = has(l, AbsDefect::ReverseOrder) ? l.blocks - 1 - n : n;
        if (has(l, AbsDefect::MissingBlock) && blk == l.blocks - 1)
            continue;
        const size_t off = blk * kAbsBlockSize;
        sec.clear();
        append_section(sec, {kTableAbsData, true, static_cast<uint16_t>(blk), data_version, 0, 0}, image + off,
                       std::min<size_t>(kAbsBlockSize, len - off));
        if (has(l, AbsDefect::DataCrc) && blk == l.blocks / 2)
            sec.back() ^= 0xFF;
        out.put_section(sec);
    }
    return true;
}

}  // namespace ota
