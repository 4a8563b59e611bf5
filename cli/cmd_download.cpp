// corvane-cli download / calibrate: the "Download" tool's jobs without a
// window. `download` streams an image into the STB's memory while its boot
// ROM listens; `calibrate` calibrates the SDRAM of a new board on the chip or
// on an FPGA prototype board.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"
#include "UpgradeRun.h"

#include "CalibrationJob.h"
#include "DownloadJob.h"
#include "DownloadReport.h"
#include "KvBasicLog.h"
#include "SerialMonitorService.h"
#include "PortHelp.h"

#include <cstdio>
#include <functional>

namespace {

struct LinkOptions {
    std::string port;
    int baud = 115200;
    std::string report;
    int reset_timeout_s = 300;
    bool no_wait = false;
    multiport::LineFlags line;
};

void add_link_options(CLI::App* sub, LinkOptions& o, const char* what)
{
    sub->add_option("--port", o.port, port_option_help("the STB"))->required();
    multiport::add_line_options(sub, o.line);
    sub->add_option("--baud", o.baud, "Line rate of the boot ROM")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--report", o.report, std::string("Write a JSON report: ") + what);
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_flag("--no-wait", o.no_wait, "The boot ROM listens already: do not wait for a reset");
}

// Runs `job` on the one box of the port with the job's flag (`set_flag`)
// set throughout; Ctrl+C cancels and stops it. How the job ended is what it
// told by its result; the exit status of the run.
int run_on_port(const LinkOptions& o, void (CSerialMonitorSerivce::*set_flag)(int),
                const std::function<void(bootlink::JobContext&)>& job, multiport::BoxRun& run,
                const line::JobStart& label)
{
    if (int rc = run.record(o.line, label))
        return rc;
    return run.run(
        o.baud,
        [&](multiport::Box& box) {
            bootlink::JobContext ctx = upgrade_cli::box_context(box, 1.0);
            box.keep_going = true;  // the calibration's running flag
            (box.svc.*set_flag)(1);
            job(ctx);
            (box.svc.*set_flag)(0);
            return box.view.result().kind;
        },
        "", "");
}

int64_t reset_wait_ms(const LinkOptions& o) { return int64_t(o.reset_timeout_s) * 1000; }

// ---- download --------------------------------------------------------------

struct DownloadOptions {
    LinkOptions link;
    std::string cache;
    std::string image;
};

int run_download_command(const DownloadOptions& o)
{
    download::DownloadParams p;
    std::string message;
    if (!download::read_input_file(o.image, &p.image, &message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return cli_exit::kInput;
    }
    p.cache = download::cache_calibration_of(o.cache);
    std::printf("Image %s: %zu bytes\n", o.image.c_str(), p.image.size());
    p.wait_for_box = !o.link.no_wait;
    p.reset_wait_ms = reset_wait_ms(o.link);
    multiport::BoxRun run({o.link.port});
    download::DownloadResult r;
    const int rc = run_on_port(
        o.link, &CSerialMonitorSerivce::set_bootroom,
        [&](bootlink::JobContext& ctx) { r = download::run_download(p, ctx); }, run,
        multiport::job_label("download", "download", o.image));
    if (!run.boxes[0]->open_error.empty() || rc == cli_exit::kDatabase || rc == cli_exit::kUsage)
        return rc;
    r.cancelled = r.cancelled || run.interrupted;
    upgrade_cli::write_report(o.link.report, download::download_report(r, p.image.size()));
    if (r.ok)
        std::printf("OK: %llu bytes sent in %.1f s\n", (unsigned long long)r.sent, r.seconds);
    else
        std::printf("FAILED: %s\n", r.error.c_str());
    return rc;
}

// ---- calibrate -------------------------------------------------------------

struct CalibrateOptions {
    LinkOptions link;
    std::string chip;
    bool fpga = false;
    std::string config;
};

int run_calibrate_command(const CalibrateOptions& o)
{
    download::CalibrationParams p;
    std::string message;
    if (download::load_calibration_config(o.chip, o.fpga, o.config, &p, &message) != JobErrorKind::None) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return cli_exit::kInput;
    }
    p.wait_for_box = !o.link.no_wait;
    p.reset_wait_ms = reset_wait_ms(o.link);
    multiport::BoxRun run({o.link.port});
    download::CalibrationResult r;
    const int rc = run_on_port(
        o.link, &CSerialMonitorSerivce::set_calibrate,
        [&](bootlink::JobContext& ctx) { r = download::run_calibration(p, ctx); }, run,
        multiport::job_label("download", o.fpga ? "calibrate-fpga" : "calibrate"));
    if (!run.boxes[0]->open_error.empty() || rc == cli_exit::kDatabase || rc == cli_exit::kUsage)
        return rc;
    const bool cancelled = run.interrupted || r.stopped;
    upgrade_cli::write_report(o.link.report, download::calibration_report(r, o.fpga, cancelled));
    if (r.ok)
        std::printf("OK\n");
    else
        std::printf("FAILED: %s\n", r.error.c_str());
    return rc;
}

}  // namespace

static CliCommandRegistrar reg_download([](CLI::App& app) {
    auto o = std::make_shared<DownloadOptions>();
    auto* sub = app.add_subcommand("download", "Stream an image into the STB's memory while its boot ROM listens");
    add_link_options(sub, o->link, "ok, error, cancelled, image_bytes, sent_bytes, seconds, bytes_per_second");
    sub->add_option("--cache-calibration", o->cache,
                    "Run the Elm cache calibration first (ddr2_cache_cal.img or ddr3_cache_cal.img)")
        ->check(CLI::IsMember({"ddr2", "ddr3"}));
    sub->add_option("IMAGE", o->image, "The image (.img or .bin), sent in blocks of 5120 bytes")->required();
    sub->footer("Waits for the STB's reset first (unless --no-wait); no reply of the STB is read.");
    sub->callback([o] {
        if (int rc = run_download_command(*o))
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_calibrate([](CLI::App& app) {
    auto o = std::make_shared<CalibrateOptions>();
    auto* sub = app.add_subcommand("calibrate", "Calibrate the SDRAM of a board on the chip or on an FPGA board");
    add_link_options(sub, o->link,
                     "ok, error, cancelled, platform, seconds and, for --fpga, lanes [{clock_start, clock_end, "
                     "dqs_start, dqs_end, clock, dqs, ok}]");
    auto* chip = sub->add_option("--chip", o->chip, "Calibrate on the chip, steered by this chip_ddrconf file");
    auto* fpga = sub->add_flag("--fpga", o->fpga, "Calibrate an FPGA prototype board: clock and DQS sweep per lane");
    sub->add_option("--config", o->config,
                    "With --fpga: the board's configuration (default: ddrconf.txt in the "
                    "program's data folder)")
        ->needs(fpga);
    chip->excludes(fpga);
    sub->callback([o] {
        if (o->chip.empty() && !o->fpga)
            throw CLI::ValidationError("calibrate", "one of --chip FILE or --fpga is needed");
        if (int rc = run_calibrate_command(*o))
            throw CLI::RuntimeError(rc);
    });
});
