// Drives the workbench's operating-system parts on Windows without Qt, so
// that their Win32 code runs under Wine:
//   corvane-host-check plugins FOLDER   lists, opens and asks each *.dll
//   corvane-host-check claim            takes the single-instance claim twice
//   corvane-host-check log-serve N      serves the log pipe for N records
//   corvane-host-check log-send TEXT    sends TEXT to the log pipe
//   corvane-host-check crash            faults with the crash handler set
#include "Console.h"
#include "CrashHandler.h"
#include "InstanceClaim.h"
#include "KvLogRecord.h"
#include "LogListener.h"
#include "PluginModule.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace corvane::platform;

int list_plugins(const std::string& folder)
{
    for (const std::string& path : ListModuleFiles(folder)) {
        const std::string name = path.substr(path.find_last_of(kPathSeparators) + 1);
        std::string error;
        void* module = OpenModule(path, &error);
        if (!module) {
            std::printf("refused %s: %s\n", name.c_str(), error.empty() ? "(no reason)" : error.c_str());
            continue;
        }
        auto answer = reinterpret_cast<int (*)()>(FindSymbol(module, "corvane_check_answer"));
        std::printf("answer %s %d\n", name.c_str(), answer ? answer() : -1);
        CloseModule(module);
    }
    return 0;
}

int take_claim()
{
    InstanceClaim first, second;
    const bool a = first.Claim();
    const bool b = second.Claim();
    first.Release();
    const bool c = second.Claim();
    std::printf("guard %s\nfirst %d second %d after-release %d\n", InstanceGuardName().c_str(), a, b, c);
    return 0;
}

int serve_log(int count)
{
    LogListener listener;
    std::string error;
    if (!listener.Open(kv::log_socket_path(), &error)) {
        std::printf("cannot serve: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    std::vector<uint8_t> buf(4096);
    for (int got = 0; got < count;) {
        size_t len = 0;
        const LogListener::Take take = listener.Next(buf.data(), buf.size(), &len, 2000);
        if (take == LogListener::Take::Stopped)
            return 1;
        kv::LogRecord rec;
        if (take != LogListener::Take::Message || len > buf.size() || !kv::decode_log_record(buf.data(), len, &rec))
            continue;
        std::printf("record %d %s\n", rec.kind, rec.text.c_str());
        std::fflush(stdout);
        ++got;
    }
    return 0;
}

int send_log(const std::string& text)
{
    kv::LogRecord rec;
    rec.text = text;
    for (const auto& r : kv::encode_log_records(rec))
        if (!kv::send_log_record(kv::log_socket_path(), r))
            return 1;
    return 0;
}

int crash()
{
    corvane::InstallCrashHandler();
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args = kv::utf8_command_line(argc, argv);
    const std::string what = args.size() > 1 ? args[1] : std::string();
    if (what == "plugins" && args.size() == 3)
        return list_plugins(args[2]);
    if (what == "claim")
        return take_claim();
    if (what == "log-serve" && args.size() == 3)
        return serve_log(std::stoi(args[2]));
    if (what == "log-send" && args.size() == 3)
        return send_log(args[2]);
    if (what == "crash")
        return crash();
    std::fprintf(stderr, "usage: corvane-host-check plugins FOLDER | claim | log-serve N | log-send TEXT | crash\n");
    return 2;
}
