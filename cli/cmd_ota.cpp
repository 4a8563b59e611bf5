// corvane-cli ota: the "skycaster" tab's streams without a window. DVBS, ABS
// and DSMCC upgrade streams, merged into another stream on request, and a
// reader that checks a stream as a receiver would.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "AbsStream.h"
#include "OtaGenerators.h"
#include "OtaInspect.h"
#include "OtaSettings.h"
#include "OtaStreamSteps.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace ota;

struct CommonOpts {
    std::string image;
    StreamOutput out;
    bool compress = false;
};

// Prints the step's lines; its exit status.
int report(const StepOutcome& r)
{
    if (!r.err.empty())
        std::fprintf(stderr, "%s\n", r.err.c_str());
    if (!r.out.empty())
        std::printf("%s\n", r.out.c_str());
    return cli_exit::of(r.kind);
}

bool hex_value(const std::string& option, const std::string& text, int bits, uint32_t& out)
{
    std::string message;
    if (page_hex_value(option, text, bits, out, &message))
        return true;
    std::fprintf(stderr, "%s\n", message.c_str());
    return false;
}

int load_image(const std::string& path, std::vector<uint8_t>& image)
{
    std::string message;
    const JobErrorKind kind = read_stream_image(path, image, &message);
    return kind == JobErrorKind::None ? cli_exit::kOk : report({kind, "", message});
}

void set_output(OTA_M2T_Generator& m2t, const CommonOpts& o) { apply_stream_output(m2t, o.out); }

int finish(OTA_M2T_Generator& m2t, const CommonOpts& o, int generated, OtaKind kind)
{
    return report(finish_stream(m2t, o.out, generated, kind));
}

// ---- dvbs -------------------------------------------------------------------

struct DvbsOpts {
    std::string pid = "160", oui = "1000", sw_version = "2000", hw_version = "AAAA", sw_model = "20", hw_model = "A0",
                mode = "FF";
};

int run_dvbs(const CommonOpts& o, const DvbsOpts& d)
{
    dvbs_upg_info_t info;
    uint32_t mode = 0;
    if (!hex_value("--oui", d.oui, 24, info.oui) || !hex_value("--pid", d.pid, 13, info.data_pid) ||
        !hex_value("--sw-version", d.sw_version, 32, info.sw_version) ||
        !hex_value("--hw-version", d.hw_version, 32, info.hw_version) ||
        !hex_value("--sw-model", d.sw_model, 16, info.sw_model_id) ||
        !hex_value("--hw-model", d.hw_model, 16, info.hw_model_id) || !hex_value("--mode", d.mode, 8, mode))
        return cli_exit::kUsage;
    info.upg_mode_id = static_cast<uint8_t>(mode);
    std::vector<uint8_t> image;
    if (int rc = load_image(o.image, image))
        return rc;
    OTA_M2T_Generator m2t;
    OTA_DVBS_Stream_Generator dvbs;
    set_output(m2t, o);
    const int ok =
        generate_dvbs_stream(m2t, dvbs, info, d.pid, image.data(), static_cast<uint32_t>(image.size()), o.compress);
    return finish(m2t, o, ok, OtaKind::Dvbs);
}

// ---- abs --------------------------------------------------------------------

struct AbsOpts {
    std::string pid = "0160", manufacturer = "22", hardware = "02", model = "02", sw_version = "0001", pmt_pid = "0333",
                error_case;
    bool force = false;
};

int run_abs(const CommonOpts& o, const AbsOpts& a)
{
    abs_upg_info_t info;
    uint32_t v[6] = {};
    if (!hex_value("--pid", a.pid, 13, v[0]) || !hex_value("--manufacturer", a.manufacturer, 8, v[1]) ||
        !hex_value("--hardware", a.hardware, 8, v[2]) || !hex_value("--model", a.model, 8, v[3]) ||
        !hex_value("--sw-version", a.sw_version, 16, v[4]) || !hex_value("--pmt-pid", a.pmt_pid, 13, v[5]))
        return cli_exit::kUsage;
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
    if (int rc = load_image(o.image, image))
        return rc;
    OTA_M2T_Generator m2t;
    set_output(m2t, o);
    const int ok = m2t.creat_ota_abs_upg_stream(o.image, info, image.data(), static_cast<uint32_t>(image.size()));
    return finish(m2t, o, ok, OtaKind::Abs);
}

// ---- dsmcc ------------------------------------------------------------------

struct DsmccOpts {
    std::string pid;
    std::vector<std::string> groups;
    bool force = false, split = false, size_change = false;
    std::string original_size = "4M", update_size = "4M";
};

int run_dsmcc(const CommonOpts& o, const DsmccOpts& d)
{
    if (d.pid.empty()) {
        std::fprintf(stderr, "Please input PID!\n");
        return cli_exit::kUsage;
    }
    uint32_t pid = 0;
    if (!parse_hex(d.pid, pid) || pid > kMaxPid) {
        std::fprintf(stderr, "PID beyond 0 - 8191,input again!\n");
        return cli_exit::kUsage;
    }
    OTA_M2T_Generator m2t;
    OTA_DVBS1_Stream_Generator dvbs1;
    set_output(m2t, o);
    dvbs1.set_upg_pid(static_cast<uint16_t>(pid), d.force);
    const std::vector<std::string> specs = d.groups.empty() ? std::vector<std::string>{""} : d.groups;
    for (const auto& spec : specs) {
        std::map<std::string, std::string> kv;
        dsmcc_upg_info_t info;
        std::string message;
        if (!parse_group_spec(spec, kv, &message))
            return report({JobErrorKind::Usage, "", message});
        if (const JobErrorKind kind = group_record(kv, info, &message); kind != JobErrorKind::None)
            return report({kind, "", message});
        std::vector<uint8_t> image;
        if (int rc = load_image(kv["image"].empty() ? o.image : kv["image"], image))
            return rc;
        const bool compress = kv.count("compress") ? kv["compress"] == "1" : o.compress;
        const bool split = kv.count("split") ? kv["split"] == "1" : d.split;
        if (!dvbs1.next_group(info, compress, split, image.data(), static_cast<uint32_t>(image.size()), m2t, message))
            return report({JobErrorKind::Failed, "", message});
    }
    const auto size_index = [](const std::string& s) { return s == "2M" ? 0 : 1; };
    dvbs1.dvbs1_set_upg_size(d.size_change, size_index(d.original_size), size_index(d.update_size));
    const int ok = dvbs1.creat_dvbs1_upg_stream(m2t);
    dvbs1.clear_variable_value();
    dvbs1.free_dsmcc_info_data();
    return finish(m2t, o, ok, OtaKind::Dsmcc);
}

// ---- inspect ----------------------------------------------------------------

int run_inspect(const std::string& path)
{
    const InspectResult r = inspect_ota_stream(path);
    if (!r.error.empty()) {
        std::fprintf(stderr, "%s\n", r.error.c_str());
        return cli_exit::kInput;
    }
    for (const auto& line : r.lines)
        std::printf("%s\n", line.c_str());
    std::printf("%s\n", r.ok ? "result: ok" : "result: FAILED");
    return r.ok ? cli_exit::kOk : cli_exit::kFailed;
}

// ---- options ----------------------------------------------------------------

CLI::App* stream_command(CLI::App* ota, const char* name, const char* what, CommonOpts& o)
{
    auto* sub = ota->add_subcommand(name, what);
    sub->add_option("IMAGE", o.image, "Flash image (at most 16 MiB)")->required();
    sub->add_option("-o,--output", o.out.output, "Stream to write (e.g. ota.m2t)")->required();
    sub->add_option("--packet-size", o.out.packet_size, "188, or 204 (16 bytes of parity space after each packet)")
        ->check(CLI::IsMember({188, 204}))
        ->capture_default_str();
    sub->add_option("--loop", o.out.loops, "TS Loop Times: the whole stream n times")
        ->check(CLI::Range(1u, kMaxLoops))
        ->capture_default_str();
    sub->add_option("--repeat", o.out.repeat, "Upg_File Repeat NO.: the upgrade n times within the stream (decimal)")
        ->check(CLI::Range(1u, kMaxRepeat))
        ->capture_default_str();
    sub->add_option("--merge", o.out.merge_into, "Merge the upgrade into this transport stream (into its null packets)")
        ->check(CLI::ExistingFile);
    sub->add_option("--merged-out", o.out.merged_out, "The merged stream (default: upgrade.ts beside --output)");
    return sub;
}

template <class F>
void on_run(CLI::App* sub, F f)
{
    sub->callback([f] {
        if (int rc = f())
            throw CLI::RuntimeError(rc);
    });
}

CliCommandRegistrar reg([](CLI::App& app) {
    auto* ota = app.add_subcommand("ota", "Over-the-air upgrade streams: DVBS and DSMCC system software update "
                                          "carousels, ABS download streams; merging; checking");
    ota->require_subcommand(1);
    auto common = std::make_shared<CommonOpts>();

    auto dvbs = std::make_shared<DvbsOpts>();
    auto* d = stream_command(ota, "dvbs",
                             "A DVB system software update carousel of one image "
                             "(parameters hexadecimal, as on the DVBS page)",
                             *common);
    d->add_option("--pid", dvbs->pid, "Download data PID")->capture_default_str();
    d->add_option("--oui", dvbs->oui, "OUI (24 bits)")->capture_default_str();
    d->add_option("--sw-version", dvbs->sw_version, "SW version")->capture_default_str();
    d->add_option("--hw-version", dvbs->hw_version, "HW version")->capture_default_str();
    d->add_option("--sw-model", dvbs->sw_model, "SW model id (16 bits)")->capture_default_str();
    d->add_option("--hw-model", dvbs->hw_model, "HW model id (16 bits)")->capture_default_str();
    d->add_option("--mode", dvbs->mode, "Upgrade-mode id (FF: all)")->capture_default_str();
    d->add_flag("--compress", common->compress, "Carry the image zlib-compressed (Is_compress_file)");
    on_run(d, [=] { return run_dvbs(*common, *dvbs); });

    auto abs = std::make_shared<AbsOpts>();
    auto* a =
        stream_command(ota, "abs", "An ABS download stream (parameters hexadecimal, as on the ABS page)", *common);
    a->add_option("--pid", abs->pid, "Elementary PID")->capture_default_str();
    a->add_option("--manufacturer", abs->manufacturer, "Manufacture ID (8 bits)")->capture_default_str();
    a->add_option("--hardware", abs->hardware, "Hardware ID (8 bits)")->capture_default_str();
    a->add_option("--model", abs->model, "Model ID (8 bits)")->capture_default_str();
    a->add_option("--sw-version", abs->sw_version, "New SW version (16 bits)")->capture_default_str();
    a->add_option("--pmt-pid", abs->pmt_pid, "PMT PID")->capture_default_str();
    a->add_flag("--force", abs->force, "Force Update Flag");
    a->add_option("--error-case", abs->error_case, "Creat error stream: the test case whose defect it carries")
        ->check(CLI::IsMember(abs_error_case_names()));
    on_run(a, [=] { return run_abs(*common, *abs); });

    auto dsm = std::make_shared<DsmccOpts>();
    auto* m = stream_command(ota, "dsmcc", "A DSM-CC carousel of up to 32 groups", *common);
    m->add_option("--pid", dsm->pid, "Upgrade PID (hexadecimal)");
    m->add_option("--group", dsm->groups,
                  "One group (repeatable, at most 32): comma-separated key=value, hexadecimal: oui, sw-version, "
                  "hw-version, sw-model, hw-model (required), mfr, mode (FF), flag (0/1), sn-start (0), "
                  "sn-end (FFFFFFFF); image=PATH (default IMAGE), compress=0/1, split=0/1")
        ->allow_extra_args(false);
    m->add_flag("--compress", common->compress, "Carry every group's image zlib-compressed (Is_compress_file)");
    m->add_flag("--split", dsm->split, "Split images of mode FF into three modules (Is_split_mode)");
    m->add_flag("--force", dsm->force, "Is_force");
    m->add_flag("--size-change", dsm->size_change, "2M/4M: announce the flash sizes below");
    m->add_option("--original-size", dsm->original_size, "Original Size")
        ->check(CLI::IsMember({"2M", "4M"}))
        ->capture_default_str();
    m->add_option("--update-size", dsm->update_size, "Update Size")
        ->check(CLI::IsMember({"2M", "4M"}))
        ->capture_default_str();
    on_run(m, [=] { return run_dsmcc(*common, *dsm); });

    auto path = std::make_shared<std::string>();
    auto* i = ota->add_subcommand("inspect", "Read a stream written by these tools as a receiver would and check "
                                             "it: sections, CRCs, continuity, groups, modules, the image");
    i->add_option("FILE", *path, "Transport stream (ota.m2t, upgrade.ts)")->required();
    on_run(i, [=] { return run_inspect(*path); });
});

}  // namespace
