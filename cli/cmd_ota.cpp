// corvane-cli ota: the "skycaster" tab's streams without a window. DVBS, ABS
// and DSMCC upgrade streams, merged into another stream on request, and a
// reader that checks a stream as a receiver would.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "AbsStream.h"
#include "OtaCommands.h"
#include "OtaInspect.h"
#include "OtaSettings.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

using namespace ota;

// Prints the step's lines; its exit status.
int report(const StepOutcome& r)
{
    if (!r.err.empty())
        std::fprintf(stderr, "%s\n", r.err.c_str());
    if (!r.out.empty())
        std::printf("%s\n", r.out.c_str());
    return cli_exit::of(r.kind);
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

CLI::App* stream_command(CLI::App* ota, const char* name, const char* what, StreamJob& o)
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
    auto common = std::make_shared<StreamJob>();

    auto dvbs = std::make_shared<DvbsValues>();
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
    on_run(d, [=] { return report(write_dvbs_stream(*common, *dvbs)); });

    auto abs = std::make_shared<AbsValues>();
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
    on_run(a, [=] { return report(write_abs_stream(*common, *abs)); });

    auto dsm = std::make_shared<DsmccValues>();
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
    on_run(m, [=] { return report(write_dsmcc_stream(*common, *dsm)); });

    auto path = std::make_shared<std::string>();
    auto* i = ota->add_subcommand("inspect", "Read a stream written by these tools as a receiver would and check "
                                             "it: sections, CRCs, continuity, groups, modules, the image");
    i->add_option("FILE", *path, "Transport stream (ota.m2t, upgrade.ts)")->required();
    on_run(i, [=] { return run_inspect(*path); });
});

}  // namespace
