// Stop latency of the random and replay threads (from the Stop call until the
// thread has ended), caught in each kind of wait, and the period of random
// keys as the box receives them. The goal: every stop within 100 ms.
#include "KvBasicRemoteCtrl.h"
#include "RecordFile.h"
#include "RemoteSession.h"
#include "StbSim.h"

#include <SerialMonitorService.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace clicker;
using Clock = std::chrono::steady_clock;

namespace {

class QuietSink : public IRemoteSink {
public:
    void OnLine(const std::string&) override {}
};

struct Rig {
    Rig(stbsim::Simulator& box, const std::string& log_dir)
    {
        ctrl.m_pTable = table.get();
        ctrl.m_pSerial = &svc;
        std::string error;
        if (!session.OpenPort(box.port_path(), 4800, &error)) {
            std::fprintf(stderr, "cannot open %s: %s\n", box.port_path().c_str(), error.c_str());
            std::exit(1);
        }
        session.LogFile().set_folder(log_dir);
        tag_remote map;
        for (int i = 1; i <= 7; ++i) {
            map.name.push_back("K" + std::to_string(i));
            map.value.push_back(std::to_string(i));
            map.shortcut.emplace_back();
        }
        map.key_num = 7;
        ctrl.set_remote(map);
    }
    CSerialMonitorSerivce svc;
    std::unique_ptr<tag_record_table> table = std::make_unique<tag_record_table>();
    CKvBasicRemoteCtrl ctrl;
    QuietSink sink;
    CRemoteSession session{ctrl, sink};
};

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

void report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-46s n=%2zu  median %6.2f ms  max %6.2f ms\n", what, v.size(), v[v.size() / 2], v.back());
}

// Starts a mode, lets it run `run_ms` into a wait, stops it and times the stop.
template <class Start, class Stop>
std::vector<double> stops(int trials, int run_ms, Start start, Stop stop)
{
    std::vector<double> out;
    for (int i = 0; i < trials; ++i) {
        start();
        std::this_thread::sleep_for(std::chrono::milliseconds(run_ms + (i * 37) % 90));
        auto t0 = Clock::now();
        stop();
        out.push_back(ms_since(t0));
    }
    return out;
}

}  // namespace

int main()
{
    stbsim::Options o;
    o.flash_size = 1 << 16;
    o.speed = 1.0;
    stbsim::Simulator box(o);
    std::string err;
    if (!box.start(&err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    char dir[] = "/tmp/bench-clicker-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string longpause = std::string(dir) + "/long.rcd", tworounds = std::string(dir) + "/rounds.rcd";
    std::ofstream(longpause) << record_line("K1", 600000) << closing_line("K2 last key", 10000);
    std::ofstream(tworounds) << closing_line("first key last key", 1);
    Rig rig(box, dir);

    auto stop_random = [&] { rig.session.StopRandom(); };
    auto stop_sim = [&] { rig.session.StopSimulation(); };
    report("random, in its 200/100 ms waits", stops(
                                                  20, 150, [&] { rig.session.StartRandom(1); }, stop_random));
    report("replay, in a 600 s recorded pause",
           stops(
               20, 200, [&] { rig.session.StartSimulation(longpause); }, stop_sim));
    report("replay, in the 5000 ms between rounds",
           stops(
               10, 300, [&] { rig.session.StartSimulation(tworounds); }, stop_sim));
    box.set_reply_delay(2000);  // the box is slow to answer: stop while waiting for it
    report("random, waiting for the box's answer", stops(
                                                       10, 30, [&] { rig.session.StartRandom(1); }, stop_random));
    box.set_reply_delay(0);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the slow answers still due

    box.clear_keys();
    rig.session.StartRandom(5, 21);
    while (rig.session.RandomRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto keys = box.keys();
    std::vector<double> gaps;
    for (size_t i = 1; i < keys.size(); ++i)
        gaps.push_back(double(keys[i].ms - keys[i - 1].ms));
    report("random key period at the box (4800 Bd, paced)", gaps);
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
