#include "OtaStreamSteps.h"
#include "FileOps.h"

#include "ModulePayload.h"
#include "OtaRecords.h"
#include "OtaSettings.h"

#include <cstdio>
#include <filesystem>

namespace ota {

bool page_hex_value(const std::string& option, const std::string& text, int bits, uint32_t& out, std::string* message)
{
    if (parse_hex(text, out) && (bits == 32 || out < (1u << bits)))
        return true;
    *message = option + ": '" + text + "' is not a hexadecimal number of at most " + std::to_string(bits) + " bits";
    return false;
}

JobErrorKind read_stream_image(const std::string& path, std::vector<uint8_t>& image, std::string* message)
{
    std::string error;
    if (load_flash_image(path, image, error) && !image.empty())
        return JobErrorKind::None;
    *message = path + ": " + (error.empty() ? "The binary file is empty" : error);
    return JobErrorKind::Input;
}

void apply_stream_output(OTA_M2T_Generator& m2t, const StreamOutput& o)
{
    m2t.set_output_path(o.output);
    m2t.set_layout({o.packet_size, o.repeat, o.loops});
}

StepOutcome finish_stream(OTA_M2T_Generator& m2t, const StreamOutput& o, int generated, OtaKind kind)
{
    if (!generated)
        return {JobErrorKind::Failed, "", m2t.last_error()};
    const std::string single = "upgrade single file " + o.output + " has been generated";
    if (o.merge_into.empty())
        return {JobErrorKind::None, single + "!", ""};
    std::string out = o.merged_out;
    if (out.empty())
        out = kv::path_text(kv::file_path(o.output).parent_path() / "upgrade.ts");
    if (!m2t.merge_last(kind, o.merge_into, o.repeat, out))
        return {JobErrorKind::Failed, "", single + ", but the merge failed: " + m2t.last_error()};
    const MergeReport& r = m2t.last_merge();
    char tail[160];
    std::snprintf(tail, sizeof tail, " (%llu of %llu null packets used; program %u, PMT PID 0x%04X)",
                  (unsigned long long)r.upgrade_packets, (unsigned long long)r.null_packets, r.program_number,
                  r.pmt_pid);
    return {JobErrorKind::None, "Merged ts file " + out + " have been generated!" + tail, ""};
}

bool parse_group_spec(const std::string& spec, std::map<std::string, std::string>& out, std::string* message)
{
    for (const auto& item : split_list(spec)) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            *message = "--group: '" + item + "' is not key=value";
            return false;
        }
        out[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return true;
}

JobErrorKind group_record(std::map<std::string, std::string>& kv, dsmcc_upg_info_t& info, std::string* message)
{
    static const std::pair<const char*, const char*> required[] = {{"hw-model", "Please input HW Model ID!"},
                                                                   {"hw-version", "Please input HW Version!"},
                                                                   {"oui", "Please input OUI!"},
                                                                   {"sw-model", "Please input SW Model ID!"},
                                                                   {"sw-version", "Please input SW Version!"}};
    for (const auto& [key, text] : required)
        if (kv[key].empty()) {
            *message = text;
            return JobErrorKind::Usage;
        }
    for (const char* key : {"mfr", "mode", "flag", "sn-start", "sn-end"})
        if (kv[key].empty())
            kv[key] = std::string(key) == "mode" ? "FF" : std::string(key) == "sn-end" ? "FFFFFFFF" : "0";
    uint32_t v[10] = {};
    const std::pair<const char*, int> fields[] = {
        {"oui", 24}, {"sw-version", 32}, {"hw-version", 32}, {"sw-model", 16}, {"hw-model", 16},
        {"mfr", 32}, {"mode", 8},        {"flag", 1},        {"sn-start", 32}, {"sn-end", 32}};
    for (size_t i = 0; i < std::size(fields); ++i)
        if (!page_hex_value(std::string("--group ") + fields[i].first, kv[fields[i].first], fields[i].second, v[i],
                            message))
            return JobErrorKind::Usage;
    info = {v[0],
            v[1],
            v[2],
            static_cast<uint16_t>(v[3]),
            static_cast<uint16_t>(v[4]),
            v[5],
            static_cast<uint8_t>(v[6]),
            static_cast<uint8_t>(v[7]),
            v[8],
            v[9]};
    return JobErrorKind::None;
}

}  // namespace ota
