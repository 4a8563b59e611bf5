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
#include "JobConsole.h"

#include "FirImage.h"
#include "FirPageFiles.h"
#include "KvBasicLog.h"
#include "PanelSession.h"
#include "SerialMonitorService.h"
#include "PortHelp.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <cerrno>
#include <optional>
#include <thread>
#include <poll.h>
#include <unistd.h>

using namespace fir;

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_panel_sigint(int) { g_interrupted = true; }

struct LinkOptions {
    std::string port;
    std::string platform;
    std::string image;
    int baud = 115200;
    int reset_timeout_s = 300;
    double pause_scale = 1.0;
};

void add_link_options(CLI::App* sub, LinkOptions& o)
{
    sub->add_option("--port", o.port, port_option_help("the STB"))->required();
    sub->add_option("--platform", o.platform, "Chip platform: base, alder or dogwood")->required();
    sub->add_option("--baud", o.baud, "Line rate of the panel program")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses of the exchanges: 1 on real hardware; lower only on the port of a running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
}

// What the exchanges report: status lines printed, keys and LED steps handed on.
class CliEvents : public IPanelEvents {
public:
    std::function<void(const LearnedKey&)> on_key;

    void OnStatus(const std::string& text) override
    {
        if (!text.empty())
            std::printf("[status] %s\n", text.c_str());
        std::fflush(stdout);
    }
    void OnMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void OnKeyLearned(const LearnedKey& k) override
    {
        if (on_key)
            on_key(k);
    }
    void OnLedStep(int, bool ok) override
    {
        std::lock_guard<std::mutex> l(m_m);
        m_steps.push_back(ok);
        m_cv.notify_all();
    }
    void OnLedMap(const LedMapBytes& map) override
    {
        std::lock_guard<std::mutex> l(m_m);
        m_map = map;
    }
    void OnExchangeEnded(PanelExchange, const PanelResult&) override { m_cv.notify_all(); }

    // The next step acknowledgement; none when the exchange ended first.
    std::optional<bool> next_step(const CPanelSession& s)
    {
        std::unique_lock<std::mutex> l(m_m);
        while (m_steps.empty()) {
            if (!s.Busy())
                return std::nullopt;
            m_cv.wait_for(l, std::chrono::milliseconds(100));
        }
        const bool ok = m_steps.front();
        m_steps.erase(m_steps.begin());
        return ok;
    }
    std::optional<LedMapBytes> map()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_map;
    }

private:
    std::mutex m_m;
    std::condition_variable m_cv;
    std::vector<bool> m_steps;
    std::optional<LedMapBytes> m_map;
};

int exit_status(const PanelResult& r)
{
    switch (r.outcome) {
    case PanelOutcome::Ok: return cli_exit::kOk;
    case PanelOutcome::Cancelled: return cli_exit::kInterrupted;
    case PanelOutcome::NoBox: return cli_exit::kNoBox;
    case PanelOutcome::Failed:
    case PanelOutcome::Refused: break;
    }
    return cli_exit::kFailed;
}

// The port opened on the process's serial service, the log printed, Ctrl+C
// caught, and the session over it.
class LiveLink {
public:
    LiveLink(const LinkOptions& o, CliEvents& events)
        : m_o(o), m_svc(kv::current_serial_service()), session(m_svc, &events)
    {
        kv::log_set_fallback(kv::LogFallback::FileOnly);
        m_listener = kv::log_add_listener([](int kind, const std::string& text) {
            if (kind != 4) {
                std::fwrite(text.data(), 1, text.size(), stdout);
                std::fflush(stdout);
            }
        });
        g_interrupted = false;
        m_oldSignal = std::signal(SIGINT, on_panel_sigint);
        session.SetPauseScale(o.pause_scale);
    }
    ~LiveLink()
    {
        session.Stop();
        session.WaitIdle(30000);
        if (m_portIndex >= 0)
            m_svc->SMS_ClosePort(m_portIndex);
        std::signal(SIGINT, m_oldSignal);
        kv::log_remove_listener(m_listener);
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
    }

    // The platform, and the record: the image's, or the platform's empty one.
    int load(Platform* p, CPanelRecord* rec)
    {
        if (!platform_from_name(m_o.platform, p)) {
            std::fprintf(stderr, "Unknown platform \"%s\": base, alder or dogwood\n", m_o.platform.c_str());
            return cli_exit::kUsage;
        }
        if (m_o.image.empty()) {
            *rec = CPanelRecord::ForPlatform(*p);
            if (*p == Platform::Base)
                rec->preset_default_slots();
            return cli_exit::kOk;
        }
        ParsedImage parsed;
        const FirResult res = load_image(*p, m_o.image, &parsed);
        if (!res.ok) {
            std::fprintf(stderr, "%s\n%s\n", res.message.c_str(), res.detail.c_str());
            return cli_exit::kInput;
        }
        *rec = parsed.record;
        m_names = parsed.names;
        return cli_exit::kOk;
    }
    const KeyNames& names() const { return m_names; }

    // load() and connect().
    int start(Platform* p, CPanelRecord* rec)
    {
        const int rc = load(p, rec);
        return rc ? rc : connect(*p, *rec);
    }

    // Opens the port and connects: reset, panel program, link test, record.
    int connect(Platform p, const CPanelRecord& rec)
    {
        if (!pause_scale_allowed(m_o.pause_scale, m_o.port))
            return cli_exit::kUsage;
        if (int rc = open_job_port(m_svc, m_o.port, m_o.baud, &m_portIndex))
            return rc;
        ConnectOptions co;
        co.reset_wait_ms = m_o.reset_timeout_s * 1000;
        std::printf("Waiting for the STB on %s: please reset the STB (power it off and on).\n", m_o.port.c_str());
        std::fflush(stdout);
        if (!session.StartConnect(p, rec, co))
            return exit_status(session.LastResult());
        return exit_status(wait());
    }

    // Waits while an exchange runs; Ctrl+C runs `on_interrupt` (by default
    // the exchange is stopped).
    PanelResult wait(const std::function<void()>& on_interrupt = {})
    {
        while (!session.WaitIdle(50)) {
            if (g_interrupted.exchange(false)) {
                m_interrupted = true;
                if (on_interrupt)
                    on_interrupt();
                else
                    session.Stop();
            }
        }
        return session.LastResult();
    }
    bool interrupted() const { return m_interrupted || g_interrupted; }

private:
    const LinkOptions& m_o;
    CSerialMonitorSerivce* m_svc;
    int m_portIndex = -1;
    void (*m_oldSignal)(int) = SIG_DFL;
    int m_listener = -1;
    bool m_interrupted = false;
    KeyNames m_names;

public:
    CPanelSession session;
};

// ---------------------------------------------------------------------------

int cmd_send(const LinkOptions& o)
{
    CliEvents events;
    LiveLink link(o, events);
    Platform p;
    CPanelRecord rec;
    if (int rc = link.start(&p, &rec))
        return rc;
    if (!link.session.StartSendConfig(rec))
        return exit_status(link.session.LastResult());
    const PanelResult r = link.wait();
    if (!r.ok()) {
        std::printf("FAILED: %s\n", r.error.c_str());
        return exit_status(r);
    }
    std::printf("OK: the panel took the record (%zu bytes) and the configuration (%zu bytes)\n", rec.size(),
                rec.config_size());
    return cli_exit::kOk;
}

struct LearnKeyOptions {
    LinkOptions link;
    std::string table = "ir1";
    std::string out;
    int count = 0;
    int from = 0;
    bool hex = false;
};

bool table_of(const std::string& name, KeyTable* t, PageFile* kind)
{
    const struct {
        const char* name;
        KeyTable t;
        PageFile kind;
    } tables[] = {{"fp", KeyTable::Fp, PageFile::FpKey},
                  {"ir1", KeyTable::Ir1, PageFile::Ir1},
                  {"ir2", KeyTable::Ir2, PageFile::Ir2}};
    for (const auto& e : tables)
        if (name == e.name) {
            *t = e.t;
            *kind = e.kind;
            return true;
        }
    return false;
}

const std::vector<std::string>& names_of(const KeyNames& n, KeyTable t)
{
    return t == KeyTable::Fp ? n.fp : t == KeyTable::Ir1 ? n.ir1 : n.ir2;
}

// Learns keys into the record, row after row from `from`.
struct KeyLearner {
    KeyTable table;
    int row;
    int end;  // one past the last row to learn
    CPanelRecord* rec;
    const std::vector<std::string>* names;
    CPanelSession* session;
    int learned = 0;

    void prompt() const
    {
        const std::string name = row < static_cast<int>(names->size()) ? " (" + (*names)[row] + ")" : "";
        std::printf("Press the key for row %d%s\n", row, name.c_str());
        std::fflush(stdout);
    }
    void take(const LearnedKey& k)
    {
        rec->set_key_code(table, k.row, k.key_code);
        rec->set_user_code(table, k.user_code);
        ++learned;
        row = k.row + 1;
        if (row >= end) {
            session->keys.getting = false;
            return;
        }
        session->keys.focus(table, row);
        prompt();
    }
};

int cmd_learn_keys(const LearnKeyOptions& o)
{
    KeyTable t;
    PageFile kind;
    if (!table_of(o.table, &t, &kind)) {
        std::fprintf(stderr, "Unknown table \"%s\": fp, ir1 or ir2\n", o.table.c_str());
        return cli_exit::kUsage;
    }
    const int capacity = slot_capacity(t);
    const int end = o.count > 0 ? std::min(capacity, o.from + o.count) : capacity;
    if (o.from >= capacity) {
        std::fprintf(stderr, "--from %d lies beyond the %d rows of the table\n", o.from, capacity);
        return cli_exit::kUsage;
    }
    CliEvents events;
    LiveLink link(o.link, events);
    Platform p;
    CPanelRecord rec;
    if (int rc = link.start(&p, &rec))
        return rc;
    KeyLearner learner{t, o.from, end, &rec, &names_of(link.names(), t), &link.session};
    events.on_key = [&learner](const LearnedKey& k) { learner.take(k); };
    link.session.keys.hex = o.hex;
    link.session.keys.focus(t, o.from);
    link.session.keys.getting = true;
    if (!link.session.StartKeyAcquisition())
        return exit_status(link.session.LastResult());
    learner.prompt();
    const PanelResult r = link.wait([&link] { link.session.keys.getting = false; });
    if (!r.ok())
        return exit_status(r);
    if (rec.count(t) < learner.row)
        rec.set_count(t, static_cast<uint16_t>(learner.row));
    CPanelRecord file;
    FirResult res = export_page_file(rec, kind, p, {}, &file);
    if (res.ok)
        res = write_page_file(o.out, file);
    if (!res.ok) {
        std::fprintf(stderr, "%s: %s\n", res.message.c_str(), o.out.c_str());
        return cli_exit::kFailed;
    }
    std::printf("%d keys learnt; %s written\n", learner.learned, o.out.c_str());
    const bool stopped_early = o.count > 0 && learner.row < end;
    return stopped_early && link.interrupted() ? cli_exit::kInterrupted : cli_exit::kOk;
}

const char* const kStepNames[10] = {"every segment lit (Light All)", "every segment dark (Dim All)",
                                    "segment 0, the top bar",       "segment 1, upper right",
                                    "segment 2, lower right",       "segment 3, the bottom bar",
                                    "segment 4, lower left",        "segment 5, upper left",
                                    "segment 6, the middle bar",    "segment 7, the dot"};

// Waits for Enter (or the end of the input) on standard input while
// `waiting()` holds: false as soon as it no longer does, so that an exchange
// that ended (Ctrl+C, a failure) never leaves anyone waiting for a key.
bool wait_for_enter(const std::function<bool()>& waiting)
{
    while (waiting()) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            return true;
    }
    return false;
}

// Steps through the ten steps; on a terminal each waits for Enter. A step
// the panel refused is taken again, at most three times. False when the
// exchange ended first.
bool step_through(LiveLink& link, CliEvents& events)
{
    const bool ask = ::isatty(STDIN_FILENO) != 0;
    auto running = [&link] { return link.session.Busy() && link.session.led.getting; };
    for (int step = 0; step < 10; ++step) {
        for (int attempt = 0;; ++attempt) {
            std::printf("Step %d: %s\n", step, kStepNames[step]);
            std::fflush(stdout);
            if (ask) {
                std::printf("Press Enter when the panel shows it... ");
                std::fflush(stdout);
                if (!wait_for_enter(running))
                    return false;
            }
            link.session.led.press(step);
            const std::optional<bool> ok = events.next_step(link.session);
            if (!ok)
                return false;
            if (*ok)
                break;
            if (attempt == 2)
                return false;
        }
    }
    return true;
}

int cmd_learn_led(const LinkOptions& o, const std::string& out)
{
    CliEvents events;
    LiveLink link(o, events);
    Platform p;
    CPanelRecord rec;
    if (int rc = link.start(&p, &rec))
        return rc;
    link.session.led.getting = true;
    if (!link.session.StartLedMapAcquisition())
        return exit_status(link.session.LastResult());
    std::thread stepper([&] {
        if (!step_through(link, events))
            link.session.led.getting = false;
    });
    const PanelResult r = link.wait();
    stepper.join();
    const std::optional<LedMapBytes> map = events.map();
    if (!r.ok() || !map) {
        std::printf("FAILED: %s\n", r.ok() ? "no LED map came" : r.error.c_str());
        return r.ok() ? cli_exit::kFailed : exit_status(r);
    }
    const FirResult res = write_page_file(out, led_file_record(p, map->data()));
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
    auto led_out = std::make_shared<std::string>();
    auto* led = firc->add_subcommand("learn-led", "Learn the LED map by stepping through the display segments");
    add_link_options(led, *led_opts);
    led->add_option("--out", *led_out, "The .led file to write")->required();
    led->add_option("--image", led_opts->image, "Send the record of this image on connection");
    led->footer("On a terminal each step waits for Enter once the panel shows it.");
    led->callback([led_opts, led_out] { run(cmd_learn_led(*led_opts, *led_out)); });
}
