#include "OtaCommands.h"

#include "AbsStream.h"
#include "OtaSettings.h"
#include "TsPackets.h"

#include <algorithm>
#include <map>

namespace ota {

namespace {

StepOutcome usage(const std::string& message) { return {JobErrorKind::Usage, "", message}; }

// Reads each (option, text, bits) into its value; the first bad one's message.
struct HexField {
    const char* option;
    const std::string& text;
    int bits;
    uint32_t& out;
};

bool read_fields(std::initializer_list<HexField> fields, std::string* message)
{
    for (const HexField& f : fields)
        if (!page_hex_value(f.option, f.text, f.bits, f.out, message))
            return false;
    return true;
}

}  // namespace

StepOutcome write_dvbs_stream(const StreamJob& j, const DvbsValues& d)
{
    dvbs_upg_info_t info;
    uint32_t mode = 0;
    std::string message;
    if (!read_fields({{"--oui", d.oui, 24, info.oui},
                      {"--pid", d.pid, 13, info.data_pid},
                      {"--sw-version", d.sw_version, 32, info.sw_version},
                      {"--hw-version", d.hw_version, 32, info.hw_version},
                      {"--sw-model", d.sw_model, 16, info.sw_model_id},
                      {"--hw-model", d.hw_model, 16, info.hw_model_id},
                      {"--mode", d.mode, 8, mode}},
                     &message))
        return usage(message);
    info.upg_mode_id = static_cast<uint8_t>(mode);
    std::vector<uint8_t> image;
    if (const JobErrorKind kind = read_stream_image(j.image, image, &message); kind != JobErrorKind::None)
        return {kind, "", message};
    OTA_M2T_Generator m2t;
    OTA_DVBS_Stream_Generator dvbs;
    apply_stream_output(m2t, j.out);
    const int ok =
        generate_dvbs_stream(m2t, dvbs, info, d.pid, image.data(), static_cast<uint32_t>(image.size()), j.compress);
    return finish_stream(m2t, j.out, ok, OtaKind::Dvbs);
}

StepOutcome write_abs_stream(const StreamJob& j, const AbsValues& a)
{
    abs_upg_info_t info;
    uint32_t v[6] = {};
    std::string message;
    if (!read_fields({{"--pid", a.pid, 13, v[0]},
                      {"--manufacturer", a.manufacturer, 8, v[1]},
                      {"--hardware", a.hardware, 8, v[2]},
                      {"--model", a.model, 8, v[3]},
                      {"--sw-version", a.sw_version, 16, v[4]},
                      {"--pmt-pid", a.pmt_pid, 13, v[5]}},
                     &message))
        return usage(message);
    info.elementary_pid = static_cast<uint16_t>(v[0]);
    info.manufacture_id = static_cast<uint8_t>(v[1]);
    info.hardware_id = static_cast<uint8_t>(v[2]);
    info.model_id = static_cast<uint8_t>(v[3]);
    info.sw_version = static_cast<uint16_t>(v[4]);
    info.pmt_pid = static_cast<uint16_t>(v[5]);
    info.force_update = a.force;
    if (!a.error_case.empty()) {
        const auto& names = abs_error_case_names();
        info.error_stream = true;
        info.error_type = static_cast<int>(std::find(names.begin(), names.end(), a.error_case) - names.begin());
    }
    std::vector<uint8_t> image;
    if (const JobErrorKind kind = read_stream_image(j.image, image, &message); kind != JobErrorKind::None)
        return {kind, "", message};
    OTA_M2T_Generator m2t;
    apply_stream_output(m2t, j.out);
    const int ok = m2t.creat_ota_abs_upg_stream(j.image, info, image.data(), static_cast<uint32_t>(image.size()));
    return finish_stream(m2t, j.out, ok, OtaKind::Abs);
}

namespace {

// One --group into the carousel; None, or the kind with its message.
StepOutcome add_group(const StreamJob& j, const DsmccValues& d, const std::string& spec, OTA_M2T_Generator& m2t,
                      OTA_DVBS1_Stream_Generator& dvbs1)
{
    std::map<std::string, std::string> kv;
    dsmcc_upg_info_t info;
    std::string message;
    if (!parse_group_spec(spec, kv, &message))
        return usage(message);
    if (const JobErrorKind kind = group_record(kv, info, &message); kind != JobErrorKind::None)
        return {kind, "", message};
    std::vector<uint8_t> image;
    if (const JobErrorKind kind = read_stream_image(kv["image"].empty() ? j.image : kv["image"], image, &message);
        kind != JobErrorKind::None)
        return {kind, "", message};
    const bool compress = kv.count("compress") ? kv["compress"] == "1" : j.compress;
    const bool split = kv.count("split") ? kv["split"] == "1" : d.split;
    if (!dvbs1.next_group(info, compress, split, image.data(), static_cast<uint32_t>(image.size()), m2t, message))
        return {JobErrorKind::Failed, "", message};
    return {};
}

}  // namespace

StepOutcome write_dsmcc_stream(const StreamJob& j, const DsmccValues& d)
{
    if (d.pid.empty())
        return usage("Please input PID!");
    uint32_t pid = 0;
    if (!parse_hex(d.pid, pid) || pid > kMaxPid)
        return usage("PID beyond 0 - 8191,input again!");
    OTA_M2T_Generator m2t;
    OTA_DVBS1_Stream_Generator dvbs1;
    apply_stream_output(m2t, j.out);
    dvbs1.set_upg_pid(static_cast<uint16_t>(pid), d.force);
    const std::vector<std::string> specs = d.groups.empty() ? std::vector<std::string>{""} : d.groups;
    for (const auto& spec : specs)
        if (StepOutcome r = add_group(j, d, spec, m2t, dvbs1); r.kind != JobErrorKind::None)
            return r;
    const auto size_index = [](const std::string& s) { return s == "2M" ? 0 : 1; };
    dvbs1.dvbs1_set_upg_size(d.size_change, size_index(d.original_size), size_index(d.update_size));
    const int ok = dvbs1.creat_dvbs1_upg_stream(m2t);
    dvbs1.clear_variable_value();
    dvbs1.free_dsmcc_info_data();
    return finish_stream(m2t, j.out, ok, OtaKind::Dsmcc);
}

}  // namespace ota
