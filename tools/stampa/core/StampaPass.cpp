#include "StampaPass.h"

#include "StampaCodes.h"
#include "StampaLink.h"
#include "StampaPage.h"

#include "BootLink.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"

#include <chrono>
#include <thread>

namespace stampa {

CodeResult IPassHost::advance_code() { return {false, {}, "no next code"}; }

std::string result_row_text(const PassResult& r)
{
    if (r.outcome != Outcome::Success)
        return "Burning failed!";
    return r.logged ? "Burning success!" : "Burning success! Log not written!";
}

// The steps of one pass, on the run's thread.
class PassSteps {
public:
    PassSteps(StampaRun& run)
        : m_run(run)
        , m_cfg(run.m_cfg)
        , m_info(platform_info(run.m_cfg.platform))
        , m_svc(run.m_svc)
        , m_host(run.m_host)
        , m_line(run.m_svc, run.m_stop, m_info.source, &run.m_obs, run.m_cfg.pause_scale)
    {}

    PassResult resident();
    PassResult birch(CKvWorkThread* self);

private:
    int64_t deadline() const { return m_cfg.reset_timeout_ms > 0 ? bootlink::now_ms() + m_cfg.reset_timeout_ms : 0; }
    static void nap() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

    bool wait_for_scan(std::string* code);
    bool wait_for_code(std::string* code, bool after_enter = false);
    bool box_bytes(const std::string& code, std::string* bytes);
    bool confirm_overwrite();
    PassResult burn_and_log(const std::string& code);
    bool write_log(const std::string& bytes, bool ok);
    PassResult succeeded(const std::string& code, bool logged);
    PassResult failure(const std::string& code, bool logged = true);
    PassResult failed(const std::string& code);
    PassResult burn_ended(PassResult r, bool logged);
    PassResult birch_ended(const std::string& code, bool ok, bool logged = true);
    bool wait_for_boot_rom(PassResult* r);
    PassResult birch_burn(const std::string& code);
    PassResult refused(const std::string& code);
    PassResult cancelled();
    PassResult no_box();

    StampaRun& m_run;
    const PassConfig& m_cfg;
    const PlatformInfo& m_info;
    CSerialMonitorSerivce& m_svc;
    IPassHost& m_host;
    BoxLine m_line;
};

namespace {

bool port_open(CSerialMonitorSerivce& svc)
{
    for (int open : svc.SMS_IsPortOpen())
        if (open)
            return true;
    return false;
}

}  // namespace

// ---- waits for the operator ---------------------------------------------------------

bool PassSteps::wait_for_scan(std::string* code)
{
    m_line.status("Please scan stampa!");
    while (!m_line.stopped()) {
        if (!m_host.take_new_scan()) {
            nap();
            continue;
        }
        std::string text = m_host.bar_code();
        if (text.empty())
            continue;
        std::string why = check_scanned_code(text, m_cfg.len_sn, m_cfg.num_sys);
        std::string bytes;
        if (why.empty() && box_bytes(burnt_part(text, m_cfg.width, m_cfg.input), &bytes)) {
            BurnLog::Seen seen = repeat_kind(m_run.m_log, m_cfg.input, m_cfg.width, bytes, &why);
            if (seen == BurnLog::Seen::Failed && m_host.confirm_reuse(text, m_run.m_stop))
                seen = BurnLog::Seen::No;
            if (seen != BurnLog::Seen::No)
                why = why.empty() ? "Repeat Bar code,input again!\n" : why + "\n";
        }
        if (why.empty()) {
            *code = text;
            return true;
        }
        m_line.log(__LINE__, "%s", why.c_str());
        m_line.status(why.substr(0, why.find('\n')));
        m_host.clear_scan();
    }
    return false;
}

bool PassSteps::wait_for_code(std::string* code, bool after_enter)
{
    while (!m_line.stopped()) {
        // A scanner types its code and then Enter: only then is it whole.
        if (!after_enter || m_host.take_new_scan()) {
            *code = m_host.bar_code();
            if (!code->empty())
                return true;
        }
        nap();
    }
    return false;
}

bool PassSteps::box_bytes(const std::string& code, std::string* bytes)
{
    std::string why;
    if (to_box_code(code, bytes, &why))
        return true;
    m_line.fail(__LINE__, "%s\n", why.c_str());
    return false;
}

bool PassSteps::confirm_overwrite()
{
    if (!box_holds_code(m_line) || m_host.confirm_overwrite(m_run.m_stop))
        return true;
    m_line.log(__LINE__, "Stampa Canceled by user!\n");
    m_line.set_error("the STB has been burned code");
    return false;
}

// ---- the ends of a pass -----------------------------------------------------------------

PassResult PassSteps::succeeded(const std::string& code, bool logged)
{
    m_svc.set_upg(0);
    PassResult r{Outcome::Success, code, logged, logged ? "" : m_line.last_error()};
    if (!logged)
        m_line.status("Burning success, but the log line was not written!");
    else if (m_cfg.input == InputType::Scan)
        m_line.status("Burning success,Please scanning next!!!");
    else if (m_cfg.input != InputType::File)
        m_line.status("Burning finished!!!");
    m_host.add_result_row(code, result_row_text(r));
    if (m_cfg.input == InputType::Scan)
        m_host.clear_and_focus();
    m_line.log(__LINE__, "Burning stampa %s successful!!\n", code.c_str());
    return r;
}

PassResult PassSteps::failure(const std::string& code, bool logged)
{
    // A line that went away fails every pass that follows: the run ends.
    const bool lost = m_svc.line_lost() || !port_open(m_svc);
    if (lost)
        m_line.fail(__LINE__, "The line to the box is lost: %s\n", m_svc.last_error().c_str());
    return {lost ? Outcome::PortLost : Outcome::Failed, code, logged, m_line.last_error()};
}

PassResult PassSteps::failed(const std::string& code)
{
    m_svc.set_upg(0);
    m_line.log(__LINE__, "Burning failed!!\n");
    PassResult r = failure(code);
    m_host.add_result_row(code, result_row_text(r));
    if (m_info.id == Platform::Cedar) {
        m_host.clear_and_focus();
        m_host.put_back(code);
    }
    return r;
}

// A burn that reached the box: its code is spent whatever the result, and a
// Stop that came meanwhile does not make the box untouched.
PassResult PassSteps::burn_ended(PassResult r, bool logged)
{
    r.code_sent = true;
    r.logged = logged;
    if (r.outcome != Outcome::Success && m_line.stopped()) {
        r.stopped = true;
        r.error = "stopped during the burn: the box may hold the code";
    }
    return r;
}

PassResult PassSteps::refused(const std::string& code)
{
    m_svc.set_upg(0);
    return {Outcome::Refused, code, true, m_line.last_error()};
}

PassResult PassSteps::cancelled()
{
    m_line.log(__LINE__, "Stampa Canceled by user!\n");
    m_svc.set_upg(0);
    return {Outcome::Cancelled, m_host.bar_code(), true, "stopped by the operator"};
}

PassResult PassSteps::no_box()
{
    m_svc.set_upg(0);
    return {Outcome::NoBox, m_host.bar_code(), true, "no box announced itself within the reset time-out"};
}

// ---- Alder, Cedar, Dogwood ---------------------------------------------------------------

PassResult PassSteps::burn_and_log(const std::string& code)
{
    std::string bytes;
    if (!box_bytes(code, &bytes))
        return refused(code);
    if (m_info.already_burnt_query && !confirm_overwrite())
        return refused(code);
    if (m_line.stopped())
        return cancelled();
    m_line.status("Burning......");
    const int64_t began = bootlink::now_ms();
    bool sent = false;
    bool ok = burn_chunks(m_line, bytes, m_info.first_offset, &sent);
    if (!sent && m_line.stopped())
        return cancelled();  // before the first frame: the box is untouched
    bool logged = write_log(bytes, ok);
    m_line.log(__LINE__, "boot init finished, cost time %dms\n", int(bootlink::now_ms() - began));
    return burn_ended(ok ? succeeded(code, logged) : failed(code), logged);
}

bool PassSteps::write_log(const std::string& bytes, bool ok)
{
    if (!m_run.m_log.enabled())
        return true;
    m_line.status("Write Log ......");
    std::string error = m_line.last_error();
    BurnLog::Written w = m_run.m_log.append(bytes, ok);
    for (const std::string& m : w.messages)
        m_line.fail(__LINE__, "%s", m.c_str());
    if (w.ok)
        m_line.set_error(error);  // a CA log failure is reported, the burn's reason stays
    return w.ok;
}

PassResult PassSteps::resident()
{
    // The page reads the port itself: the service's reader lets go of it
    // before the job flag would have it watch the line.
    m_svc.SMS_StopSvc();
    m_svc.set_upg(1);
    std::string code;
    if (m_cfg.input == InputType::Scan && !wait_for_scan(&code))
        return cancelled();
    ClearConsle();
    m_line.log(__LINE__, "Please connect STB ......\n");
    m_line.status("Please reset the slave STB!");
    m_line.waiting_for_box();
    m_svc.SMS_StopSvc();
    if (!m_line.pause(1000))
        return cancelled();
    m_host.focus_stop();
    m_line.log(__LINE__, "prepare to do sync!\n");
    switch (sync_resident(m_line, m_info.sync, deadline())) {
    case SyncResult::Stopped: return cancelled();
    case SyncResult::TimedOut: return no_box();
    case SyncResult::Failed: return failed(m_host.bar_code());
    case SyncResult::Synced: break;
    }
    m_line.log(__LINE__, "end of sync loop!\n");
    if (m_info.sync == SyncKind::AnyRotation)
        m_line.drain(256, 20);
    else
        m_line.flush(20);
    if (!m_line.pause(1000))
        return cancelled();
    m_line.status("Sync with slave, please wait...");
    if (!client_test(m_line, m_info.id == Platform::Alder))
        return m_line.stopped() ? cancelled() : failed(m_host.bar_code());
    if (m_cfg.input != InputType::Scan && !wait_for_code(&code))
        return cancelled();
    return burn_and_log(burnt_part(code, m_cfg.width, m_cfg.input));
}

// ---- Birch ------------------------------------------------------------------------------

PassResult PassSteps::birch_ended(const std::string& code, bool ok, bool logged)
{
    const bool scan = m_cfg.input == InputType::Scan;
    if (ok && scan)
        m_line.pause(2000);
    m_svc.set_upg(0);
    if (scan)
        m_svc.SMS_StopSvc();
    PassResult r =
        ok ? PassResult{Outcome::Success, code, logged, logged ? "" : m_line.last_error()} : failure(code, logged);
    m_host.add_result_row(code, result_row_text(r));
    m_host.clear_and_focus();
    if (ok) {
        m_line.status(logged ? "Burning success,Please scanning next!!!"
                             : "Burning success, but the log line was not written!");
        if (scan)
            m_line.pause(2000);
    } else {
        m_line.log(__LINE__, "Burning failed!!\n");
    }
    return r;
}

bool PassSteps::wait_for_boot_rom(PassResult* r)
{
    // The service tells the boot ROM's announcement from console text only
    // while its reader runs.
    m_svc.SMS_StartSvc();
    const int64_t limit = m_cfg.reset_timeout_ms > 0 ? m_cfg.reset_timeout_ms : -1;
    switch (m_svc.SMS_WaitAnnouncement(limit, &m_line.stop_flag())) {
    case 1: return true;
    case 0: *r = no_box(); return false;
    case -1: *r = cancelled(); return false;
    default:
        m_line.fail(__LINE__, "The port is not open!\n");
        *r = birch_ended(m_host.bar_code(), false);
        return false;
    }
}

PassResult PassSteps::birch_burn(const std::string& code)
{
    std::string bytes;
    if (!box_bytes(code, &bytes))
        return refused(code);
    if (bytes.size() > 255) {
        m_line.fail(__LINE__, "The bar code is longer than 255 characters!\n");
        return refused(code);
    }
    if (m_line.stopped())
        return cancelled();
    m_line.status("Burning......");
    bool ok = burn_whole_code(m_line, bytes);
    bool logged = write_log(bytes, ok);
    return burn_ended(birch_ended(code, ok, logged), logged);
}

PassResult PassSteps::birch(CKvWorkThread* self)
{
    // From the announcement on the port is the pass's: the service's reader
    // leaves it alone while the upgrade flag is set.
    kv::ScopedServiceJob job(&m_svc, kv::ServiceJob::Upgrade, self);
    const bool scan = m_cfg.input == InputType::Scan;
    std::string code = m_host.bar_code();
    if (scan) {
        m_line.status("Please scan stampa!");
        if (!wait_for_code(&code, true))
            return cancelled();
        m_line.status("Please reset the slave STB!");
        m_line.waiting_for_box();
    }
    if (m_cfg.width > 0 && char_count(code) != static_cast<size_t>(m_cfg.width)) {
        m_line.fail(__LINE__, "Scan bar code error,The length of bar code is not match %d!!!\n", m_cfg.width);
        m_line.status(m_line.last_error() + "!!!");
        return refused(code);
    }
    ClearConsle();
    m_line.log(__LINE__, "Please connect STB ......\n");
    if (scan && !m_line.pause(500))
        return cancelled();
    PassResult ended;
    if (!wait_for_boot_rom(&ended))
        return ended;
    m_line.log(__LINE__, "Got sync byte!\nStart sending client...\n");
    m_line.status("Sync with slave, please wait...");
    if (!download_client(m_line, m_cfg.client_path))
        return birch_ended(code, false);
    if (!m_line.pause(5000))
        return cancelled();
    if (!client_test(m_line, true))
        return m_line.stopped() ? cancelled() : birch_ended(code, false);
    if (!scan && !wait_for_code(&code))
        return cancelled();
    return birch_burn(code);
}

// ---- the run ------------------------------------------------------------------------------

StampaRun::StampaRun(CSerialMonitorSerivce& svc, PassConfig config, BurnLog& log, IPassHost& host,
                     IJobObserver& observer)
    : m_svc(svc), m_cfg(std::move(config)), m_log(log), m_host(host), m_obs(observer)
{}

void StampaRun::Stop() { m_stop = true; }

std::vector<PassResult> StampaRun::results() const
{
    std::lock_guard<std::mutex> l(m_mutex);
    return m_results;
}

PassResult StampaRun::pass(CKvWorkThread* self)
{
    const int64_t t0 = bootlink::now_ms();
    PassSteps steps(*this);
    PassResult r = m_cfg.platform == Platform::Birch ? steps.birch(self) : steps.resident();
    r.seconds = double(bootlink::now_ms() - t0) / 1000.0;
    return r;
}

bool StampaRun::code_is_new(const std::string& code, PassResult* r)
{
    // Scans are checked as they come; a Birch page keeps no log and checks
    // the code's length in its pass.
    if (m_cfg.input == InputType::Scan || (m_cfg.platform == Platform::Birch && !m_log.enabled()))
        return true;
    bool reusable = false;
    std::string why = code_check(m_cfg.input, m_cfg.width, code, m_log, {}, &reusable);
    if (why.empty() || (reusable && m_host.confirm_reuse(code, m_stop)))
        return true;
    kv_console_printf("%s\n", why.c_str());
    m_obs.OnStatus(why);
    *r = {Outcome::Refused, code, true, why};
    return false;
}

bool StampaRun::settings_complete()
{
    // Birch scans are checked against the width alone.
    if (m_cfg.input != InputType::Scan || m_cfg.platform == Platform::Birch)
        return true;
    std::string why = scan_keys_check(m_cfg.len_sn, m_cfg.num_sys);
    if (why.empty())
        return true;
    kv_console_printf("%s\n", why.c_str());
    m_obs.OnStatus(why);
    std::lock_guard<std::mutex> l(m_mutex);
    m_results.push_back({Outcome::Refused, {}, true, why});
    return false;
}

JobErrorKind ending(const std::vector<PassResult>& results)
{
    JobErrorKind kind = results.empty() ? JobErrorKind::Failed : JobErrorKind::None;
    for (const auto& r : results) {
        if (r.outcome == Outcome::Cancelled || r.stopped)
            return JobErrorKind::Cancelled;
        if (r.outcome == Outcome::NoBox)
            return JobErrorKind::NoBox;
        if (r.outcome == Outcome::PortLost)
            return JobErrorKind::Port;
        if (!r.ok())
            kind = JobErrorKind::Failed;
    }
    return kind;
}

uint32_t StampaRun::Run(CKvWorkThread* self)
{
    m_running = true;
    if (!settings_complete()) {
        m_running = false;
        m_obs.OnResult(JobResult::failure(JobErrorKind::Usage, results().back().error));
        return 1;
    }
    const bool advancing = m_cfg.input == InputType::Auto || m_cfg.input == InputType::File;
    BoxLine waits(m_svc, m_stop, platform_info(m_cfg.platform).source, &m_obs, m_cfg.pause_scale);
    int burnt = 0;
    while (!m_stop) {
        PassResult r;
        // A repeat is refused before the box is touched, and ends the run.
        const bool fresh = code_is_new(m_host.bar_code(), &r);
        if (fresh)
            r = pass(self);
        {
            std::lock_guard<std::mutex> l(m_mutex);
            m_results.push_back(r);
        }
        m_host.pass_ended(r);
        if (!fresh || r.outcome == Outcome::Cancelled || r.outcome == Outcome::NoBox ||
            r.outcome == Outcome::PortLost || m_cfg.input == InputType::Manual)
            break;
        if (r.outcome == Outcome::Success && m_maxBurns > 0 && ++burnt >= m_maxBurns)
            break;
        // A code that went to a box is spent, burnt or not: the next box
        // gets the next one.
        if (advancing && (r.outcome == Outcome::Success || r.code_sent)) {
            CodeResult next = m_host.advance_code();
            if (!next.ok) {
                waits.log(__LINE__, "%s\n", next.message.c_str());
                m_obs.OnStatus(next.message);
                break;
            }
        }
        if (advancing && !waits.pause(1000))
            break;
    }
    m_svc.set_upg(0);
    m_svc.SMS_StartSvc();
    m_running = false;
    std::vector<PassResult> all = results();
    bool ok = !all.empty() && all.back().ok();
    m_obs.OnResult(ok ? JobResult::success()
                      : JobResult::failure(ending(all), all.empty() ? std::string() : all.back().error));
    return ok ? 0 : 1;
}

}  // namespace stampa
