// corvane-cli fir send / learn-keys / learn-led: the front-panel tool's
// exchanges with the panel program on a live box.
//
//   fir send       --port P --platform X IMAGE          record and configuration into the box
//   fir learn-keys --port P --platform X --table T --out FILE [--count N] [--image IMAGE]
//   fir learn-led  --port P --platform X --out FILE.led
//
// Each first resets into the panel program: it asks for a reset of the box,
// waits for its boot ROM, loads the platform's panel program and sends it the
// whole panel record (from IMAGE, or the platform's empty record).
#include "cmd_fir_panel.h"

#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"
#include "PortHelp.h"
#include "StdinRead.h"

#include "PanelLearning.h"
#include "PanelStart.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace fir;

namespace {

struct LinkOptions {
    std::string port;
    std::string platform;
    std::string image;
    int baud = 115200;
    int reset_timeout_s = 300;
    double pause_scale = 1.0;
    std::string kind = "send";  // the job's kind in its line database row
    multiport::LineFlags line;
};

void add_link_options(CLI::App* sub, LinkOptions& o)
{
    sub->add_option("--port", o.port, port_option_help("the STB"))->required();
    sub->add_option("--platform", o.platform, "Chip platform: base, alder or dogwood")->required();
    multiport::add_line_options(sub, o.line);
    sub->add_option("--baud", o.baud, "Line rate of the panel program")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses of the exchanges: 1 on real hardware; lower only on the port of a "
                    "running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
}

// Status lines printed, messages on standard error; keys and LED steps
// handed on to the learning.
class CliEvents : public PanelLearnEvents {
public:
    void OnStatus(const std::string& text) override
    {
        if (!text.empty())
            std::printf("[status] %s\n", text.c_str());
        std::fflush(stdout);
    }
    void OnMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

void say(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// One panel command on the box of its port: what it starts from is loaded,
// the box runner opens the port, and the box's job connects (reset, panel
// program, link test, record) and then runs the command's exchange. Ctrl+C
// stops the exchange, or runs the gentler end the exchange chose.
class PanelRun {
public:
    explicit PanelRun(const LinkOptions& o) : m_o(o), m_run({o.port}), session(&m_run.boxes[0]->svc, &events) {}

    // The platform and the record; the exit status.
    int load()
    {
        std::string message;
        const JobErrorKind kind = load_panel_start(m_o.platform, m_o.image, &start, &message);
        if (kind != JobErrorKind::None)
            std::fprintf(stderr, "%s\n", message.c_str());
        return cli_exit::of(kind);
    }

    // Connects, then runs `exchange` as the rest of the box's job; the exit
    // status of the run.
    int run(const std::function<JobErrorKind()>& exchange)
    {
        if (!multiport::BoxRun::pauses_allowed({m_o.port}, m_o.pause_scale))
            return cli_exit::kUsage;
        if (int rc = m_run.record(m_o.line, multiport::job_label("panel", m_o.kind, m_o.image)))
            return rc;
        session.SetPauseScale(m_o.pause_scale);
        multiport::InterruptPlan plan;
        plan.first = plan.again = [this](multiport::Box&) {
            if (m_gentle)
                m_gentleEnd();
            else
                session.Stop();
        };
        const std::string intro =
            "Waiting for the STB on " + m_o.port + ": please reset the STB (power it off and on).";
        return m_run.run(
            m_o.baud,
            [&](multiport::Box&) {
                JobErrorKind kind = connect();
                if (kind == JobErrorKind::None)
                    kind = exchange();
                session.Stop();
                session.WaitIdle(30000);
                return kind;
            },
            intro, "", plan);
    }

    // From now on Ctrl+C runs `end` instead of stopping the exchange.
    void end_gently_by(std::function<void()> end)
    {
        m_gentleEnd = std::move(end);
        m_gentle = true;
    }

    // Waits while an exchange runs; its result.
    PanelResult wait()
    {
        while (!session.WaitIdle(50)) {}
        return session.LastResult();
    }
    // The kind of a start that failed, else of the exchange's end.
    JobErrorKind wait_for(bool started) { return panel_error_kind(started ? wait() : session.LastResult()); }
    bool interrupted() const { return m_run.interrupted; }

private:
    JobErrorKind connect()
    {
        ConnectOptions co;
        co.reset_wait_ms = m_o.reset_timeout_s * 1000;
        return wait_for(session.StartConnect(start.platform, start.record, co));
    }

    const LinkOptions& m_o;
    multiport::BoxRun m_run;
    std::atomic<bool> m_gentle{false};
    std::function<void()> m_gentleEnd;

public:
    CliEvents events;
    PanelStart start;
    CPanelSession session;
};

// ---------------------------------------------------------------------------

int cmd_send(const LinkOptions& o)
{
    PanelRun pr(o);
    if (int rc = pr.load())
        return rc;
    const CPanelRecord& rec = pr.start.record;
    return pr.run([&] {
        if (!pr.session.StartSendConfig(rec))
            return panel_error_kind(pr.session.LastResult());
        const PanelResult r = pr.wait();
        if (!r.ok()) {
            std::printf("FAILED: %s\n", r.error.c_str());
            return panel_error_kind(r);
        }
        std::printf("OK: the panel took the record (%zu bytes) and the configuration (%zu bytes)\n", rec.size(),
                    rec.config_size());
        return JobErrorKind::None;
    });
}

struct LearnKeyOptions {
    LinkOptions link;
    std::string table = "ir1";
    std::string out;
    int count = 0;
    int from = 0;
    bool hex = false;
};

int cmd_learn_keys(const LearnKeyOptions& o)
{
    KeyTable t;
    PageFile kind;
    if (!key_table_of(o.table, &t, &kind)) {
        std::fprintf(stderr, "Unknown table \"%s\": fp, ir1 or ir2\n", o.table.c_str());
        return cli_exit::kUsage;
    }
    const int capacity = slot_capacity(t);
    const int end = o.count > 0 ? std::min(capacity, o.from + o.count) : capacity;
    if (o.from >= capacity) {
        std::fprintf(stderr, "--from %d lies beyond the %d rows of the table\n", o.from, capacity);
        return cli_exit::kUsage;
    }
    PanelRun pr(o.link);
    if (int rc = pr.load())
        return rc;
    KeyLearner learner{t, o.from, end, &pr.start.record, &key_names_of(pr.start.names, t), &pr.session};
    pr.events.on_key = [&learner](const LearnedKey& k) {
        const std::string next = learner.take(k);
        if (!next.empty())
            say(next);
    };
    const int rc = pr.run([&] {
        pr.session.keys.hex = o.hex;
        pr.session.keys.focus(t, o.from);
        pr.session.keys.getting = true;
        if (!pr.session.StartKeyAcquisition())
            return panel_error_kind(pr.session.LastResult());
        say(learner.prompt());
        pr.end_gently_by([&pr] { pr.session.keys.getting = false; });
        return panel_error_kind(pr.wait());
    });
    if (rc)
        return rc;
    const FirResult res = learner.write(kind, pr.start.platform, o.out);
    if (!res.ok) {
        std::fprintf(stderr, "%s: %s\n", res.message.c_str(), o.out.c_str());
        return cli_exit::kFailed;
    }
    std::printf("%d keys learnt; %s written\n", learner.learned, o.out.c_str());
    const bool stopped_early = o.count > 0 && learner.row < end;
    return stopped_early && pr.interrupted() ? cli_exit::kInterrupted : cli_exit::kOk;
}

// Waits for Enter (or the end of the input) on standard input while
// `waiting()` holds: false as soon as it no longer does, so that an exchange
// that ended (Ctrl+C, a failure) never leaves anyone waiting for a key.
bool wait_for_enter(const std::function<bool()>& waiting)
{
    std::printf("Press Enter when the panel shows it... ");
    std::fflush(stdout);
    char c = 0;
    for (;;) {
        const cli_stdin::Read r = cli_stdin::next_char(waiting, &c);
        if (r != cli_stdin::Read::Char)
            return r == cli_stdin::Read::End;
        if (c == '\n')
            return true;
    }
}

int cmd_learn_led(const LinkOptions& o, const std::string& out)
{
    PanelRun pr(o);
    if (int rc = pr.load())
        return rc;
    // On a terminal each step waits for Enter.
    const bool ask = ::isatty(STDIN_FILENO) != 0;
    std::optional<LedMapBytes> map;
    const int rc = pr.run([&] {
        pr.session.led.getting = true;
        if (!pr.session.StartLedMapAcquisition())
            return panel_error_kind(pr.session.LastResult());
        std::thread stepper([&] {
            if (!step_through_led_map(pr.session, pr.events, say, ask ? wait_for_enter : nullptr))
                pr.session.led.getting = false;
        });
        const PanelResult r = pr.wait();
        stepper.join();
        map = pr.events.map();
        if (!r.ok() || !map) {
            std::printf("FAILED: %s\n", r.ok() ? "no LED map came" : r.error.c_str());
            return r.ok() ? JobErrorKind::Failed : panel_error_kind(r);
        }
        return JobErrorKind::None;
    });
    if (rc)
        return rc;
    const FirResult res = write_page_file(out, led_file_record(pr.start.platform, map->data()));
    if (!res.ok) {
        std::fprintf(stderr, "%s: %s\n", res.message.c_str(), out.c_str());
        return cli_exit::kFailed;
    }
    std::printf("LED map written to %s\n", out.c_str());
    return cli_exit::kOk;
}

void run(int rc)
{
    if (rc)
        throw CLI::RuntimeError(rc);
}

}  // namespace

void add_fir_panel_commands(CLI::App* firc)
{
    auto send_opts = std::make_shared<LinkOptions>();
    auto* send = firc->add_subcommand("send", "Connect to the panel program and send an image's record and "
                                              "configuration");
    add_link_options(send, *send_opts);
    send->add_option("IMAGE", send_opts->image, "Flash image")->required();
    send->footer("Exit status 0 only when the box accepted both the record and the configuration.");
    send->callback([send_opts] { run(cmd_send(*send_opts)); });

    auto keys = std::make_shared<LearnKeyOptions>();
    keys->link.kind = "learn-keys";
    auto* learn = firc->add_subcommand("learn-keys", "Learn the codes of a key table from keys pressed on the box");
    add_link_options(learn, keys->link);
    learn->add_option("--table", keys->table, "fp, ir1 or ir2")->required()->check(CLI::IsMember({"fp", "ir1", "ir2"}));
    learn->add_option("--out", keys->out, "The key file to write (.fpkey, .ir1, .ir2)")->required();
    learn->add_option("--count", keys->count, "Keys to learn (default: until Ctrl+C)")->check(CLI::NonNegativeNumber);
    learn->add_option("--from", keys->from, "The first row to learn (default 0)")->check(CLI::NonNegativeNumber);
    learn->add_option("--image", keys->link.image, "Start from the key table of this image (names, logical keys)");
    learn->add_flag("--hex", keys->hex, "Log key codes in hexadecimal");
    learn->footer("Each key pressed goes into the next row. Ctrl+C ends the learning and writes the file.");
    learn->callback([keys] { run(cmd_learn_keys(*keys)); });

    auto led_opts = std::make_shared<LinkOptions>();
    led_opts->kind = "learn-led";
    auto led_out = std::make_shared<std::string>();
    auto* led = firc->add_subcommand("learn-led", "Learn the LED map by stepping through the display segments");
    add_link_options(led, *led_opts);
    led->add_option("--out", *led_out, "The .led file to write")->required();
    led->add_option("--image", led_opts->image, "Send the record of this image on connection");
    led->footer("On a terminal each step waits for Enter once the panel shows it.");
    led->callback([led_opts, led_out] { run(cmd_learn_led(*led_opts, *led_out)); });
}
