// The multi-port runner of corvane-cli: port lists, per-box file names, and
// two boxes on two serial services of one process, against two virtual STBs.
#include "ExitStatus.h"
#include "MultiPort.h"
#include "ScratchDir.h"
#include "WaitUntil.h"

#include "KvBasicLog.h"
#include "StbSim.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

using namespace multiport;

TEST(PortList, FileLinesCommentsSettingsAndRepeats)
{
    testsupport::ScratchDir dir("multiport");
    PortOptions o;
    o.ports = {"/dev/ttyUSB0", "  rfc2217://10.0.0.5:4001 "};
    o.ports_from = dir.file("ports.txt");
    std::ofstream(o.ports_from) << "# line 3\n\n\t/dev/ttyS1 \r\nsocket://box:7000\t6\n";
    std::vector<std::string> ports, extras;
    std::string err;
    ASSERT_TRUE(collect_ports(o, &ports, &err, &extras)) << err;
    EXPECT_EQ(ports,
              (std::vector<std::string>{"/dev/ttyUSB0", "rfc2217://10.0.0.5:4001", "/dev/ttyS1", "socket://box:7000"}));
    EXPECT_EQ(extras, (std::vector<std::string>{"", "", "", "6"}));

    // A command without per-port settings refuses them.
    EXPECT_FALSE(collect_ports(o, &ports, &err));
    EXPECT_NE(err.find("socket://box:7000"), std::string::npos) << err;

    // The same line twice would have two jobs garble each other.
    o.ports.push_back("/dev/ttyS1");
    EXPECT_FALSE(collect_ports(o, &ports, &err, &extras));
    EXPECT_NE(err.find("named twice"), std::string::npos) << err;

    PortOptions none;
    EXPECT_FALSE(collect_ports(none, &ports, &err));
    none.ports_from = dir.file("missing.txt");
    EXPECT_FALSE(collect_ports(none, &ports, &err));
    std::ofstream(dir.file("three.txt")) << "/dev/a 1 2\n";
    none.ports_from = dir.file("three.txt");
    EXPECT_FALSE(collect_ports(none, &ports, &err, &extras));
}

TEST(PortList, EveryBoxGetsItsOwnFile)
{
    EXPECT_EQ(port_label("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(port_label("rfc2217://10.0.0.5:4001"), "10.0.0.5_4001");
    EXPECT_EQ(port_label("socket://[::1]:7000"), "___1__7000");
    EXPECT_EQ(path_for_port("/tmp/d/{port}/dump-{port}.bin", "/dev/ttyS1"), "/tmp/d/ttyS1/dump-ttyS1.bin");
    EXPECT_EQ(path_for_port("/tmp/d.x/dump.bin", "/dev/ttyS1"), "/tmp/d.x/dump-ttyS1.bin");
    EXPECT_EQ(path_for_port("/tmp/d.x/dump", "/dev/ttyS1"), "/tmp/d.x/dump-ttyS1");
    EXPECT_EQ(path_for_port(".dump", "/dev/ttyS1"), ".dump-ttyS1");
    EXPECT_EQ(path_for_port("out/.dump", "/dev/ttyS1"), "out/.dump-ttyS1");
}

// The text of a running count (a status right after bytes or a percent) is
// told by the progress lines; any other status, such as stampa's
// "Burning......", shows on every port.
TEST(PortList, CountsAreToldByProgressOtherStatusesShow)
{
    testing::internal::CaptureStdout();
    {
        MultiConsole console({"/dev/a", "/dev/b"}, false);
        BoxView& a = console.box(0);
        a.OnPhase("transfer");
        a.OnBytes(4096, 65536);
        a.OnStatus("Transferring: 4096/65536");
        a.OnProgress(40);
        a.OnStatus("Burning: 40/100");
        a.OnStatus("Burning......");
        a.OnWaitingForBox(true);
        EXPECT_TRUE(a.waiting());
        a.OnResult(JobResult::failure(JobErrorKind::NoBox, "no box"));
        EXPECT_EQ(a.result().kind, JobErrorKind::NoBox);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Transferring"), std::string::npos) << out;
    EXPECT_EQ(out.find("Burning: 40"), std::string::npos) << out;
    EXPECT_NE(out.find("[/dev/a] [status] Burning......\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[/dev/a] [progress] transfer 40%\n"), std::string::npos) << out;
}

// Two boxes, each on a service of its own: one announces itself and its job
// ends while the other still waits; the other's service never takes the first
// box's announcement; Ctrl+C then cancels the one left; what each job logs
// comes out under its own port.
TEST(MultiPortRun, BoxesDoNotWaitOnEachOther)
{
    kv::log_set_fallback(kv::LogFallback::None);
    stbsim::Options oa;
    stbsim::Simulator a(oa), b(oa);
    std::string err;
    ASSERT_TRUE(a.start(&err)) << err;
    ASSERT_TRUE(b.start(&err)) << err;
    const std::vector<std::string> ports = {a.port_path(), b.port_path()};

    testing::internal::CaptureStdout();
    std::atomic<bool> first_done{false};
    std::atomic<int> seen[2] = {0, 0};
    bool interrupted = false;
    std::vector<std::unique_ptr<Box>> boxes;
    {
        MultiConsole console(ports, false);
        boxes = make_boxes(ports, console);
        std::thread operator_([&] {
            a.reset();
            if (testsupport::wait_until([&] { return first_done.load(); }, 60000))
                std::raise(SIGINT);
        });
        interrupted = run_boxes(
            boxes, 115200,
            [&](Box& box) {
                kv_console_printf("box %zu waits\n", box.index);
                int r = box.svc.SMS_WaitAnnouncement(-1, &box.cancel);
                seen[box.index] = r;
                if (box.index == 0)
                    first_done = true;
                return r == 1 ? JobErrorKind::None : JobErrorKind::Cancelled;
            },
            console);
        operator_.join();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    a.stop();
    b.stop();

    EXPECT_TRUE(interrupted);
    EXPECT_EQ(seen[0].load(), 1);
    EXPECT_EQ(seen[1].load(), -1) << "the second service took the first box's announcement";
    EXPECT_EQ(boxes[0]->status, cli_exit::kOk);
    EXPECT_EQ(boxes[1]->status, cli_exit::kInterrupted);
    EXPECT_EQ(combined_status(boxes, interrupted), cli_exit::kInterrupted);
    EXPECT_NE(out.find("[" + ports[0] + "] box 0 waits\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[" + ports[1] + "] box 1 waits\n"), std::string::npos) << out;
}

TEST(MultiPortRun, APortThatDoesNotOpenFailsAlone)
{
    testsupport::ScratchDir dir("multiport");
    stbsim::Options o;
    stbsim::Simulator a(o);
    std::string err;
    ASSERT_TRUE(a.start(&err)) << err;
    const std::vector<std::string> ports = {dir.file("no-such-port"), a.port_path()};
    testing::internal::CaptureStdout();
    std::vector<std::unique_ptr<Box>> boxes;
    std::atomic<int> ran{0};
    {
        MultiConsole console(ports, false);
        boxes = make_boxes(ports, console);
        run_boxes(
            boxes, 115200,
            [&](Box&) {
                ++ran;
                return JobErrorKind::None;
            },
            console);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    a.stop();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(boxes[0]->status, cli_exit::kPort);
    EXPECT_NE(boxes[0]->open_error.find("cannot open"), std::string::npos);
    EXPECT_EQ(boxes[1]->status, cli_exit::kOk);
    EXPECT_EQ(combined_status(boxes, false), cli_exit::kPort);
    EXPECT_NE(out.find("[" + ports[0] + "] error: cannot open"), std::string::npos) << out;
}
