// corvane-cli bootrom: word reads, writes and register scripts through the
// STB's boot ROM; corvane-cli gzip: the in-process gzip the upgrade uses.
#include "CliCommand.h"
#include "FileOps.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"

#include "BootRom.h"
#include "Gzip.h"
#include "KvBasicLog.h"
#include "SerialMonitorService.h"
#include "PortHelp.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace {

struct BootRomOptions {
    std::string port;
    int baud = 115200;
    int wait_s = 30;
    std::string addr, value, file, section = "#INIT_REGS#";
    int count = 1;
    multiport::LineFlags line;
};

bool parse_u32(const std::string& s, uint32_t* out)
{
    try {
        size_t pos = 0;
        unsigned long long v = std::stoull(s, &pos, 16);
        if (pos != s.size() || v > 0xFFFFFFFFull)
            return false;
        *out = uint32_t(v);
        return true;
    } catch (...) {
        return false;
    }
}

// Waits for the boot ROM's announcement (none with --wait 0).
JobErrorKind wait_for_rom(const BootRomOptions& o, bootlink::JobContext& ctx)
{
    if (o.wait_s <= 0)
        return JobErrorKind::None;
    switch (bootlink::wait_for_boot_rom(ctx, int64_t(o.wait_s) * 1000)) {
    case bootlink::Outcome::Ok: return JobErrorKind::None;
    case bootlink::Outcome::Cancelled: return JobErrorKind::Cancelled;
    case bootlink::Outcome::NoBox:
        std::fprintf(stderr, "error: the boot ROM did not announce itself within %d s\n", o.wait_s);
        return JobErrorKind::NoBox;
    default: std::fprintf(stderr, "error: the port went away\n"); return JobErrorKind::Port;
    }
}

// Runs `work` as the job of the port's box once its boot ROM talks; the
// exit status (CLI::RuntimeError when not 0).
void on_boot_rom(const BootRomOptions& o, const std::string& kind,
                 const std::function<JobErrorKind(bootlink::JobContext&)>& work)
{
    multiport::BoxRun run({o.port});
    run.boxes[0]->reader = false;
    if (int rc = run.record(o.line, multiport::job_label("bootrom", kind, kind == "script" ? o.file : "")))
        throw CLI::RuntimeError(rc);
    const int rc = run.run(
        o.baud,
        [&](multiport::Box& box) {
            bootlink::JobContext ctx;
            ctx.svc = &box.svc;
            ctx.cancel = &box.cancel;
            const JobErrorKind kind = wait_for_rom(o, ctx);
            return kind == JobErrorKind::None ? work(ctx) : kind;
        },
        o.wait_s > 0 ? "Please reset the STB!" : "", "");
    if (rc)
        throw CLI::RuntimeError(rc);
}

}  // namespace

static CliCommandRegistrar reg_bootrom([](CLI::App& app) {
    auto o = std::make_shared<BootRomOptions>();
    auto* sub = app.add_subcommand("bootrom", "Read and write words through the STB's boot ROM");
    sub->add_option("--port", o->port, port_option_help("the STB"))->required();
    multiport::add_line_options(sub, o->line);
    sub->add_option("--baud", o->baud, "Line rate")->capture_default_str();
    sub->add_option("--wait", o->wait_s, "Seconds to wait for the boot ROM after a reset (0: it already talks)")
        ->capture_default_str()
        ->check(CLI::Range(0, 86400));
    sub->require_subcommand(1);

    auto* rd = sub->add_subcommand("read", "Read words (addresses in hexadecimal)");
    rd->add_option("address", o->addr)->required();
    rd->add_option("--count", o->count, "Number of consecutive words")->capture_default_str();
    rd->callback([o] {
        uint32_t a = 0;
        if (!parse_u32(o->addr, &a) || o->count < 1 || o->count > 65536)
            throw CLI::ValidationError("read", "a hexadecimal address and a count of 1 to 65536");
        on_boot_rom(*o, "read", [&](bootlink::JobContext& ctx) {
            for (int i = 0; i < o->count; ++i) {
                uint32_t v = 0;
                if (!bootlink::addr_read(a + 4u * uint32_t(i), &v, ctx))
                    return JobErrorKind::Failed;
                std::printf("%08x: %08x\n", a + 4u * uint32_t(i), v);
            }
            return JobErrorKind::None;
        });
    });

    auto* wr = sub->add_subcommand("write", "Write one word (hexadecimal address and value)");
    wr->add_option("address", o->addr)->required();
    wr->add_option("value", o->value)->required();
    wr->callback([o] {
        uint32_t a = 0, v = 0;
        if (!parse_u32(o->addr, &a) || !parse_u32(o->value, &v))
            throw CLI::ValidationError("write", "a hexadecimal address and value");
        on_boot_rom(*o, "write", [&](bootlink::JobContext& ctx) {
            return bootlink::write(a, v, ctx) ? JobErrorKind::None : JobErrorKind::Failed;
        });
    });

    auto* sc = sub->add_subcommand("script", "Run one section of a register file (\"chip_ddrconf\" grammar)");
    sc->add_option("file", o->file)->required()->check(CLI::ExistingFile);
    sc->add_option("--section", o->section, "Section marker")->capture_default_str();
    sc->callback([o] {
        std::ifstream f(kv::file_path(o->file), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        bootlink::RegisterList list;
        if (!bootlink::parse_register_list(text, o->section, &list))
            throw CLI::RuntimeError(cli_exit::kInput);
        if (list.count() == 0) {
            std::fprintf(stderr, "error: %s has no entries in section %s\n", o->file.c_str(), o->section.c_str());
            throw CLI::RuntimeError(cli_exit::kInput);
        }
        on_boot_rom(*o, "script", [&](bootlink::JobContext& ctx) {
            if (!bootlink::run_register_script(list, ctx))
                return JobErrorKind::Failed;
            std::printf("%d entries run\n", list.count());
            return JobErrorKind::None;
        });
    });
});

static CliCommandRegistrar reg_gzip([](CLI::App& app) {
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto effort = std::make_shared<std::string>("auto");
    auto* sub = app.add_subcommand("gzip", "Compress a file as the upgrade does (standard gzip stream)");
    sub->add_option("input", *in)->required()->check(CLI::ExistingFile);
    sub->add_option("-o,--output", *out, "Output file (default: input.gz)");
    sub->add_option("--effort", *effort, "fast, max or auto")->check(CLI::IsMember({"fast", "max", "auto"}));
    sub->callback([in, out, effort] {
        std::vector<uint8_t> data;
        if (!bootlink::read_file(*in, &data)) {
            std::fprintf(stderr, "error: cannot read %s\n", in->c_str());
            throw CLI::RuntimeError(cli_exit::kInput);
        }
        auto e = *effort == "fast"  ? bootlink::GzipEffort::Fast
                 : *effort == "max" ? bootlink::GzipEffort::Max
                                    : bootlink::GzipEffort::Auto;
        std::vector<uint8_t> gz;
        if (!bootlink::gzip_compress(data.data(), data.size(), &gz, e)) {
            std::fprintf(stderr, "error: compression failed\n");
            throw CLI::RuntimeError(cli_exit::kFailed);
        }
        std::string path = out->empty() ? *in + ".gz" : *out;
        if (!bootlink::write_file_atomic(path, gz.data(), gz.size())) {
            std::fprintf(stderr, "error: cannot write %s\n", path.c_str());
            throw CLI::RuntimeError(cli_exit::kFailed);
        }
        std::printf("%s: %zu -> %zu bytes\n", path.c_str(), data.size(), gz.size());
    });
});
