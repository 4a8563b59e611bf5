// The parameter records the pages collect, and the content of one upgrade
// group as the stream generators take it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ota {

inline constexpr uint32_t kMaxImageSize = 0x1000000;  // 16 MiB: the largest flash image
inline constexpr int kMaxGroups = 32;

// The DVBS page, in the page's order.
struct dvbs_upg_info_t {
    uint32_t oui = 0;
    uint32_t data_pid = 0;
    uint32_t sw_version = 0;
    uint32_t hw_version = 0;
    uint32_t sw_model_id = 0;
    uint32_t hw_model_id = 0;
    uint8_t upg_mode_id = 0xFF;
};

// The ABS page. error_type indexes abs_error_case_names() and counts only
// while error_stream is set.
struct abs_upg_info_t {
    uint16_t elementary_pid = 0;
    uint8_t manufacture_id = 0;
    uint8_t hardware_id = 0;
    uint8_t model_id = 0;
    uint16_t sw_version = 0;
    uint16_t pmt_pid = 0;
    bool force_update = false;
    bool error_stream = false;
    int error_type = 0;
};

// The DSMCC page: one record per group.
struct dsmcc_upg_info_t {
    uint32_t oui = 0;
    uint32_t sw_version = 0;
    uint32_t hw_version = 0;
    uint16_t sw_model_id = 0;
    uint16_t hw_model_id = 0;
    uint32_t mfr_code = 0;
    uint8_t upg_mode_id = 0xFF;
    uint8_t flag = 0;
    uint32_t sn_start = 0;
    uint32_t sn_end = 0;
};

// The content of one module as carried in the stream (raw or zlib), and what
// a receiver gets back from it. Raw bytes may be borrowed from the caller's
// image instead of copied; the image must then outlive the payload.
struct OtaPayload {
    std::vector<uint8_t> data;  // owned bytes
    const uint8_t* borrowed = nullptr;  // or borrowed ones
    size_t borrowed_size = 0;
    bool compressed = false;
    uint32_t original_size = 0;
    uint32_t original_crc = 0;  // MPEG-2 CRC-32 of the original bytes
    uint32_t flash_offset = 0;  // where the original bytes lie in the image

    const uint8_t* bytes() const { return borrowed ? borrowed : data.data(); }
    size_t size() const { return borrowed ? borrowed_size : data.size(); }
};

// One group of the carousel: its record, flags, and its data (the whole image,
// or the three parts of a split image).
struct dsmcc_group_t {
    dsmcc_upg_info_t info;
    bool compress = false;
    bool split = false;
    uint32_t image_size = 0;
    uint32_t image_crc = 0;  // MPEG-2 CRC-32 of the whole image
    std::vector<OtaPayload> parts;
};

// A hexadecimal text as the pages hold them ("1FFF", "0x1FFF"; at most eight
// digits). False for an empty text or any other character.
bool parse_hex(const std::string& text, uint32_t& value);

// A group's record made from the DVBS page (one group, every serial number).
// False with a message when a model id does not fit its 16 bits.
bool dsmcc_info_from_dvbs(const dvbs_upg_info_t& d, dsmcc_upg_info_t& out, std::string& error);

}  // namespace ota
