#include "OtaGenerators.h"

#include "AbsStream.h"
#include "DsmccCarousel.h"
#include "Mpeg2Crc.h"


namespace ota {
namespace {

const char* kind_name(OtaKind k)
{
    switch (k) {
    case OtaKind::Dvbs: return "DVBS";
    case OtaKind::Abs: return "ABS";
    case OtaKind::Dsmcc: return "DSMCC";
    default: return "upgrade";
    }
}

}  // namespace

uint32_t OTA_M2T_Generator::compress_file(const uint8_t* image, OtaPayload& out, uint32_t length, int flag)
{
    // The DVBS stream is built while the image is at hand: raw bytes need no copy.
    if (!make_payload(image, length, flag != 0, 0, out, m_error, true))
        return 0;
    return static_cast<uint32_t>(out.size());
}

uint32_t OTA_M2T_Generator::dsmcc_compress_file(const uint8_t* in, OtaPayload& out, uint32_t length, uint32_t offset)
{
    return make_payload(in, length, true, offset, out, m_error) ? static_cast<uint32_t>(out.size()) : 0;
}

uint32_t OTA_M2T_Generator::do_crc(const uint8_t* data, OtaPayload& out, uint32_t length, uint32_t offset)
{
    return make_payload(data, length, false, offset, out, m_error) ? static_cast<uint32_t>(out.size()) : 0;
}

int OTA_M2T_Generator::dsmcc_packetization(OtaPayload data, const std::string& data_pid_text,
                                           const OTA_DVBS_Stream_Generator& dvbs)
{
    uint32_t pid = 0;
    if (!parse_hex(data_pid_text, pid))
        return fail("The data PID is not a hexadecimal number");
    if (!check_data_pid(pid).empty())
        return fail(check_data_pid(pid));
    m_error.clear();
    dsmcc_group_t group;
    if (!dsmcc_info_from_dvbs(dvbs.info(), group.info, m_error))
        return 0;
    group.compress = data.compressed;
    group.image_size = data.original_size;
    group.image_crc = data.original_crc;
    group.parts.push_back(std::move(data));
    CarouselSettings s;
    s.data_pid = static_cast<uint16_t>(pid);
    auto cycle = spare_cycle();
    if (!build_carousel({group}, s, *cycle, m_error))
        return 0;
    report_step(80);
    return write_stream(std::move(cycle), OtaKind::Dvbs);
}

int OTA_M2T_Generator::creat_ota_abs_upg_stream(const std::string&, const abs_upg_info_t& info, const uint8_t* image,
                                                uint32_t length)
{
    auto cycle = spare_cycle();
    if (!build_abs_stream(info, image, length, *cycle, m_error))
        return 0;
    return write_stream(std::move(cycle), OtaKind::Abs);
}

std::unique_ptr<OtaCycle> OTA_M2T_Generator::spare_cycle()
{
    // A fresh 20 MB buffer costs more in page faults than building the stream.
    std::unique_ptr<OtaCycle> c = m_cycle ? std::move(m_cycle) : std::make_unique<OtaCycle>();
    c->reset();
    m_kind = OtaKind::None;
    return c;
}

int OTA_M2T_Generator::write_stream(std::unique_ptr<OtaCycle> cycle, OtaKind kind)
{
    OtaProgress progress;
    if (m_progress) {
        const uint64_t base = static_cast<uint64_t>(m_stepBase);
        progress = [this, base](uint64_t pos, uint64_t total) {
            m_progress(total ? base + pos * (100 - base) / total : base, 100);
        };
    }
    m_stepBase = 0;
    if (!write_cycle(*cycle, m_layout, m_path, progress, m_error))
        return 0;
    m_cycle = std::move(cycle);
    m_kind = kind;
    return 1;
}

int OTA_M2T_Generator::merge_last(OtaKind kind, const std::string& into, uint32_t repeat, const std::string& out)
{
    if (last_kind() != kind)
        return fail(std::string("There is no ") + kind_name(kind) + " stream to merge; generate one first");
    m_merge = MergeReport{};
    return merge_cycle_into(*m_cycle, repeat, into, out, m_progress, m_error, &m_merge);
}

int generate_dvbs_stream(OTA_M2T_Generator& m2t, OTA_DVBS_Stream_Generator& dvbs, const dvbs_upg_info_t& info,
                         const std::string& data_pid_text, const uint8_t* image, uint32_t length, bool compress)
{
    m2t.report_step(0);
    OtaPayload module;
    if (!m2t.compress_file(image, module, length, compress ? 1 : 0))
        return 0;
    m2t.report_step(30);
    dvbs.dvbs_update_dsmcc_info(info);
    m2t.report_step(60);
    return m2t.dsmcc_packetization(std::move(module), data_pid_text, dvbs);
}

int OTA_DVBS1_Stream_Generator::split_update_file(const uint8_t*, uint32_t length, SplitLayout& parts)
{
    return split_layout(length, parts) ? 1 : 0;
}

int OTA_DVBS1_Stream_Generator::next_group(const dsmcc_upg_info_t& info, bool compress, bool split_requested,
                                           const uint8_t* image, uint32_t length, OTA_M2T_Generator& m2t,
                                           std::string& message)
{
    if (m_groups.size() >= size_t(kMaxGroups)) {
        message = "Maximum group number is 32!";
        return 0;
    }
    if (!image || !length) {
        message = "Please select a flash binary file";
        return 0;
    }
    dsmcc_group_t g;
    g.info = info;
    g.compress = compress;
    g.split = split_requested && info.upg_mode_id == 0xFF;
    g.image_size = length;
    g.image_crc = mpeg2_crc32(image, length);
    SplitLayout layout{};
    layout[0] = {0, length};
    if (g.split && !split_update_file(image, length, layout)) {
        message = "Invalid file!";
        return 0;
    }
    for (int i = 0; i < (g.split ? kSplitParts : 1); ++i) {
        OtaPayload part;
        const uint8_t* p = image + layout[i].offset;
        const uint32_t n = compress ? m2t.dsmcc_compress_file(p, part, layout[i].length, layout[i].offset)
                                    : m2t.do_crc(p, part, layout[i].length, layout[i].offset);
        if (!n) {
            message = m2t.last_error();
            return 0;
        }
        g.parts.push_back(std::move(part));
    }
    m_groups.push_back(std::move(g));
    return 1;
}

void OTA_DVBS1_Stream_Generator::dvbs1_set_upg_size(int flag, int original_index, int update_index)
{
    m_sizeFlag = flag != 0;
    m_originalSize = flash_size(original_index);
    m_updateSize = flash_size(update_index);
}

int OTA_DVBS1_Stream_Generator::creat_dvbs1_upg_stream(OTA_M2T_Generator& m2t)
{
    CarouselSettings s;
    s.data_pid = m_pid;
    s.force = m_force;
    s.size_change = m_sizeFlag;
    s.original_flash_size = m_originalSize;
    s.update_flash_size = m_updateSize;
    auto cycle = m2t.spare_cycle();
    std::string error;
    if (!build_carousel(m_groups, s, *cycle, error))
        return m2t.fail(error);
    return m2t.write_stream(std::move(cycle), OtaKind::Dsmcc);
}

int generate_dsmcc_stream(OTA_M2T_Generator& m2t, OTA_DVBS1_Stream_Generator& dvbs1, const DsmccGenerateInput& page,
                          const uint8_t* image, uint32_t length, std::string& message)
{
    message = check_data_pid(dvbs1.upg_pid());
    if (!message.empty())
        return 0;
    if (!dvbs1.next_group(page.info, page.compress, page.split, image, length, m2t, message))
        return 0;
    dvbs1.dvbs1_set_upg_size(page.size_change, page.original_size, page.update_size);
    if (!dvbs1.creat_dvbs1_upg_stream(m2t)) {
        dvbs1.drop_last_group();
        message = m2t.last_error();
        return 0;
    }
    dvbs1.free_dsmcc_info_data();
    return 1;
}

void OTA_DVBS1_Stream_Generator::clear_variable_value()
{
    m_pid = 0;
    m_force = false;
    m_sizeFlag = false;
    m_originalSize = m_updateSize = 0;
}

}  // namespace ota
