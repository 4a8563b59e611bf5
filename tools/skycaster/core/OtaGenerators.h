// The OTA stream generators the "skycaster" tab and `corvane-cli ota` drive:
// OTA_M2T_Generator writes the streams ("ota.m2t") and holds the last one for
// a merge; OTA_DVBS_Stream_Generator holds the DVBS page's parameters;
// OTA_DVBS1_Stream_Generator collects the DSMCC groups; each of the three
// merges the last stream of its kind into another stream ("upgrade.ts").
//
// Every call returns nonzero on success; on failure last_error() of the
// OTA_M2T_Generator (or the message argument) says why.
#pragma once

#include "ModulePayload.h"
#include "OtaRecords.h"
#include "OtaStream.h"
#include "TsMerge.h"

#include <memory>
#include <string>
#include <vector>

class CRedirect;

namespace ota {

enum class OtaKind { None, Dvbs, Abs, Dsmcc };

class OTA_DVBS_Stream_Generator;

class OTA_M2T_Generator {
public:
    explicit OTA_M2T_Generator(CRedirect* redirect = nullptr) : m_redirect(redirect) {}

    // Where the stream goes, its packet size, repeat and loop counts, and who
    // hears of the progress.
    void set_output_path(const std::string& path) { m_path = path; }
    const std::string& output_path() const { return m_path; }
    void set_layout(const StreamLayout& layout) { m_layout = layout; }
    const StreamLayout& layout() const { return m_layout; }
    void set_progress(OtaProgress progress) { m_progress = std::move(progress); }
    const std::string& last_error() const { return m_error; }
    // The last stream written, for a merge.
    const OtaCycle* last_cycle() const { return m_cycle.get(); }
    OtaKind last_kind() const { return m_cycle ? m_kind : OtaKind::None; }
    const MergeReport& last_merge() const { return m_merge; }

    // The image as the DVBS module carries it: zlib-compressed when `flag`,
    // else the image's own bytes (borrowed: keep the image until the stream is
    // built). Returns the module's length, 0 on failure.
    uint32_t compress_file(const uint8_t* image, OtaPayload& out, uint32_t length, int flag);
    // The DVBS carousel of `data` on the PID written in `data_pid_text`
    // (hexadecimal), with the parameters `dvbs` holds, into the output.
    int dsmcc_packetization(OtaPayload data, const std::string& data_pid_text, const OTA_DVBS_Stream_Generator& dvbs);
    // The ABS stream of the image (normal or with the chosen defect).
    int creat_ota_abs_upg_stream(const std::string& image_path, const abs_upg_info_t& info, const uint8_t* image,
                                 uint32_t length);
    // A DSMCC module: compressed, or copied with its CRC. Return its length.
    uint32_t dsmcc_compress_file(const uint8_t* in, OtaPayload& out, uint32_t length, uint32_t offset = 0);
    uint32_t do_crc(const uint8_t* data, OtaPayload& out, uint32_t length, uint32_t offset = 0);

    // A cycle to build the next stream in: the last one's, emptied (the last
    // stream can then no longer be merged).
    std::unique_ptr<OtaCycle> spare_cycle();
    // Writes a built cycle to the output and keeps it for a merge.
    int write_stream(std::unique_ptr<OtaCycle> cycle, OtaKind kind);
    // Merges the last stream, if it is of `kind`, into `into` as `out`.
    int merge_last(OtaKind kind, const std::string& into, uint32_t repeat, const std::string& out);
    // A coarse step of a generation, in percent.
    // The writing that follows moves the bar on from there to 100.
    void report_step(int percent)
    {
        m_stepBase = percent;
        if (m_progress)
            m_progress(static_cast<uint64_t>(percent), 100);
    }
    int fail(const std::string& message)
    {
        m_error = message;
        return 0;
    }

private:
    [[maybe_unused]] CRedirect* m_redirect;  // the view's child-process runner; nothing here runs one
    std::string m_path = "ota.m2t";
    StreamLayout m_layout;
    OtaProgress m_progress;
    std::string m_error;
    std::unique_ptr<OtaCycle> m_cycle;
    OtaKind m_kind = OtaKind::None;
    MergeReport m_merge;
    int m_stepBase = 0;
};

class OTA_DVBS_Stream_Generator {
public:
    void dvbs_update_dsmcc_info(const dvbs_upg_info_t& info) { m_info = info; }
    const dvbs_upg_info_t& info() const { return m_info; }
    int merge_dvbs_upg_to_ota(const std::string& into, uint32_t repeat, OTA_M2T_Generator& m2t, const std::string& out)
    {
        return m2t.merge_last(OtaKind::Dvbs, into, repeat, out);
    }

private:
    dvbs_upg_info_t m_info;
};

class OTA_ABS_Stream_Generator {
public:
    int merge_abs_upg_to_ota(const std::string& into, uint32_t repeat, OTA_M2T_Generator& m2t, const std::string& out)
    {
        return m2t.merge_last(OtaKind::Abs, into, repeat, out);
    }
};

// The DVBS steps of "Generate": the module (compressed or not), the page's
// parameters, the carousel on the data PID. Progress 0, 30, 60, 80, then the
// writing to 100.
int generate_dvbs_stream(OTA_M2T_Generator& m2t, OTA_DVBS_Stream_Generator& dvbs, const dvbs_upg_info_t& info,
                         const std::string& data_pid_text, const uint8_t* image, uint32_t length, bool compress);

// The flash sizes of the "Original Size:" and "Update Size:" drop-downs.
inline constexpr const char* kUpgSizeNames[] = {"2M", "4M"};

class OTA_DVBS1_Stream_Generator {
public:
    int group_count() const { return static_cast<int>(m_groups.size()); }
    const std::vector<dsmcc_group_t>& groups() const { return m_groups; }

    // The three parts of a split image; 0 for an image that cannot be split.
    int split_update_file(const uint8_t* image, uint32_t length, SplitLayout& parts);
    // Adds a group made of the page's record and the image: split only when
    // asked and the mode is 0xFF (the whole flash). 0 with a message
    // ("Maximum group number is 32!", "Invalid file!", ...).
    int next_group(const dsmcc_upg_info_t& info, bool compress, bool split_requested, const uint8_t* image,
                   uint32_t length, OTA_M2T_Generator& m2t, std::string& message);

    void set_upg_pid(uint16_t pid, bool force)
    {
        m_pid = pid;
        m_force = force;
    }
    // The "2M/4M" flag and the drop-down positions under "Original Size:" and
    // "Update Size:" (0 "2M", 1 "4M").
    void dvbs1_set_upg_size(int flag, int original_index, int update_index);
    // The carousel of the collected groups, into the output of `m2t`.
    int creat_dvbs1_upg_stream(OTA_M2T_Generator& m2t);
    int merge_dvbs1_upg_to_ota(const std::string& into, uint32_t repeat, OTA_M2T_Generator& m2t, const std::string& out)
    {
        return m2t.merge_last(OtaKind::Dsmcc, into, repeat, out);
    }
    uint16_t upg_pid() const { return m_pid; }
    // Back to no PID, no force flag and no sizes; and no groups.
    void clear_variable_value();
    void free_dsmcc_info_data() { m_groups.clear(); }
    // Takes back the group added last (one that went into no stream).
    void drop_last_group()
    {
        if (!m_groups.empty())
            m_groups.pop_back();
    }

    static uint32_t flash_size(int index) { return index == 0 ? 0x200000u : 0x400000u; }

private:
    std::vector<dsmcc_group_t> m_groups;
    uint16_t m_pid = 0;
    bool m_force = false;
    bool m_sizeFlag = false;
    uint32_t m_originalSize = 0, m_updateSize = 0;
};

// What the DSMCC page gives "Generate": its record as one more group, the
// two flags, and the "2M/4M" flag with the two size positions.
struct DsmccGenerateInput {
    dsmcc_upg_info_t info;
    bool compress = false;
    bool split = false;
    bool size_change = false;
    int original_size = 1, update_size = 1;
};

// The DSMCC steps of "Generate" (the upgrade PID already set): the page as one
// more group, the sizes, the carousel of every group, then no groups. A
// failure leaves the groups collected before it as they were: a PID no
// receiver would take is refused before the page is added, a page that cannot
// be made a group adds nothing, and the page added for a stream that could not
// be written is taken back. 0 with `message` on failure.
int generate_dsmcc_stream(OTA_M2T_Generator& m2t, OTA_DVBS1_Stream_Generator& dvbs1, const DsmccGenerateInput& page,
                          const uint8_t* image, uint32_t length, std::string& message);

}  // namespace ota
