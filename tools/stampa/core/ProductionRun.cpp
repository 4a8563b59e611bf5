#include "ProductionRun.h"
#include "FileOps.h"

#include "JsonText.h"
#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"

#include <cstdio>
#include <fstream>
#include <utility>

namespace stampa {

namespace {

// The codes of the run; a usage or input error sets *rc.
bool prepare_codes(const RunSettings& o, const PlatformInfo& info, CodeCursor& codes,
                   BurnLog& log, InputType* input, int* width, JobErrorKind* rc)
{
    *input = !o.code.empty() ? InputType::Manual : !o.start.empty() ? InputType::Auto : InputType::File;
    const std::string& first = *input == InputType::Manual ? o.code : o.start;
    *width = o.width >= 0 ? o.width : *input == InputType::File ? 0 : static_cast<int>(first.size());
    codes.configure(*input, *width, o.step, o.base == "hex" ? Base::Hex : Base::Decimal);
    std::string message;
    if (*input == InputType::File) {
        std::vector<std::string> list;
        if (!read_code_file(o.code_file, &list, &message)) {
            std::fprintf(stderr, "error: %s (%s)\n", message.c_str(), o.code_file.c_str());
            *rc = JobErrorKind::Input;
            return false;
        }
        codes.set_codes(std::move(list));
    }
    CodeResult r = configure_check(info, *input, *width, first, codes, log);
    if (!r.ok) {
        std::fprintf(stderr, "error: %s\n", r.message.c_str());
        *rc = *input == InputType::File ? JobErrorKind::Input : JobErrorKind::Usage;
        return false;
    }
    return true;
}

}  // namespace

JobErrorKind prepare(const RunSettings& o, Setup& s)
{
    Platform platform;
    if (!platform_from_key(o.platform, &platform)) {
        std::fprintf(stderr, "error: unknown platform %s\n", o.platform.c_str());
        return JobErrorKind::Usage;
    }
    s.info = &platform_info(platform);
    StampaSettings settings = StampaSettings::load();
    s.log = std::make_unique<BurnLog>(
        o.log, s.info->quoted_log_line ? BurnLog::Format::Quoted : BurnLog::Format::Plain,
        platform == Platform::Cedar && settings.print_ca_id);
    s.cfg.platform = platform;
    s.cfg.pause_scale = o.pause_scale;
    s.cfg.reset_timeout_ms = o.reset_timeout_s * 1000;
    s.cfg.client_path = CKvBasicCfgIni::path_in_root(kBirchClientFile);
    JobErrorKind rc = JobErrorKind::None;
    if (!o.series.empty()) {
        // The series hands out the codes: the burn takes each whole unless --width says otherwise.
        s.cfg.input = InputType::Auto;
        s.cfg.width = o.width >= 0 ? o.width : 0;
        return rc;
    }
    prepare_codes(o, *s.info, s.codes, *s.log, &s.cfg.input, &s.cfg.width, &rc);
    return rc;
}

const char* outcome_name(const PassResult& r)
{
    switch (r.outcome) {
    case Outcome::Success: return r.logged ? "Success" : "Success, not logged";
    case Outcome::Failed: return "Failed";
    case Outcome::Refused: return "Refused";
    case Outcome::Cancelled: return "Cancelled";
    case Outcome::NoBox: return "No box";
    case Outcome::PortLost: return "Port lost";
    }
    return "?";
}

void write_report(const std::string& path, const RunSettings& o, const std::vector<PassResult>& results,
                  const std::vector<std::string>* ports)
{
    if (path.empty())
        return;
    std::ofstream f(kv::file_path(path));
    bool ok = !results.empty();
    for (const auto& r : results)
        ok = ok && r.ok();
    f << "{\n  \"platform\": " << kv_json::quoted(o.platform) << ",\n  \"log\": " << kv_json::quoted(o.log)
      << ",\n  \"ok\": " << (ok ? "true" : "false") << ",\n  \"boxes\": [";
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        f << (i ? "," : "") << "\n    {";
        if (ports)
            f << "\"port\": " << kv_json::quoted((*ports)[i]) << ", ";
        f << "\"code\": " << kv_json::quoted(r.code) << ", \"result\": " << kv_json::quoted(outcome_name(r))
          << ", \"logged\": " << (r.logged ? "true" : "false") << ", \"seconds\": " << r.seconds
          << ", \"error\": " << kv_json::quoted(r.error) << "}";
    }
    f << "\n  ]\n}\n";
    if (!f)
        std::fprintf(stderr, "error: cannot write the report %s\n", path.c_str());
}

bool start_allowed(const RunSettings& o, const Setup& s)
{
    if (!o.series.empty())  // each code is checked as it is reserved
        return true;
    bool reusable = false;
    const std::string code = s.codes.current();
    std::string refused =
        start_check(*s.info, s.cfg.input, s.cfg.width, code, true, *s.log, o.reuse, &reusable);
    if (refused.empty())
        return true;
    std::fprintf(stderr, "error: %s (%s)\n", refused.c_str(), code.c_str());
    if (reusable)
        std::fprintf(stderr, "The log holds %s as Failed: a box may hold it. --reuse-failed %s burns it again.\n",
                     code.c_str(), code.c_str());
    return false;
}

bool reuse_allowed(const RunSettings& o, const std::string& code)
{
    const bool yes = !o.reuse.empty() && o.reuse == code;
    kv_console_printf("%s is logged as Failed: %s\n", code.c_str(),
                      yes ? "burning it again (--reuse-failed)" : "refused (--reuse-failed names another code)");
    return yes;
}

}  // namespace stampa
