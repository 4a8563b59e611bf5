// Streams written by corvane-cli, read back by tools that share none of our
// code: the independent reader (Python), ffprobe, libdvbpsi; and merged into a
// stream that ffmpeg made.
#include "OtaTestSupport.h"

#include <gtest/gtest.h>

#include <stdbool.h>
#include <stdint.h>
extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/dr_66.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
}

#include <filesystem>

using namespace otatest;

namespace {

class OtaStreams : public ::testing::Test {
protected:
    std::string image(const std::string& name, size_t size, uint32_t seed, bool compressible = false)
    {
        const std::string p = dir.file(name);
        write_file(p, make_image(size, seed, compressible));
        return p;
    }
    std::string cli(const std::string& args, int* status)
    {
        return run(std::string("'") + CORVANE_CLI + "' ota " + args, status);
    }
    // An MPEG-2 test pattern muxed at a constant rate, padded with null packets.
    std::string ffmpeg_stream(const std::string& name)
    {
        const std::string p = dir.file(name);
        int rc = 0;
        const std::string out = run("ffmpeg -v error -f lavfi -i testsrc=duration=3:size=96x64:rate=10 "
                                    "-c:v mpeg2video -b:v 60k -muxrate 2400k -f mpegts -y '" +
                                        p + "'",
                                    &rc);
        EXPECT_EQ(rc, 0) << out;
        return p;
    }
    testsupport::ScratchDir dir{"skycaster"};
};

// ---- PAT and PMT through libdvbpsi ---------------------------------------------

struct PsiSeen {
    std::vector<std::pair<uint16_t, uint16_t>> programs;  // number, PMT PID
    struct Es {
        uint8_t type;
        uint16_t pid;
        int data_broadcast_id;
    };
    std::vector<Es> streams;
};

void ignore_message(dvbpsi_t*, const dvbpsi_msg_level_t, const char*) {}

void on_pat(void* data, dvbpsi_pat_t* pat)
{
    auto* seen = static_cast<PsiSeen*>(data);
    seen->programs.clear();
    for (auto* p = pat->p_first_program; p; p = p->p_next)
        seen->programs.emplace_back(p->i_number, p->i_pid);
    dvbpsi_pat_delete(pat);
}

void on_pmt(void* data, dvbpsi_pmt_t* pmt)
{
    auto* seen = static_cast<PsiSeen*>(data);
    seen->streams.clear();
    for (auto* es = pmt->p_first_es; es; es = es->p_next) {
        int id = -1;
        for (auto* d = es->p_first_descriptor; d; d = d->p_next)
            if (d->i_tag == 0x66)
                if (auto* dr = dvbpsi_DecodeDataBroadcastIdDr(d))
                    id = dr->i_data_broadcast_id;
        seen->streams.push_back({es->i_type, es->i_pid, id});
    }
    dvbpsi_pmt_delete(pmt);
}

void push_pid(dvbpsi_t* h, std::vector<uint8_t>& ts, size_t psize, uint16_t pid)
{
    for (size_t i = 0; i + psize <= ts.size(); i += psize)
        if (((ts[i + 1] & 0x1F) << 8 | ts[i + 2]) == pid)
            dvbpsi_packet_push(h, &ts[i]);
}

PsiSeen decode_psi(const std::string& path, size_t psize, uint16_t program)
{
    std::vector<uint8_t> ts = read_file(path);
    PsiSeen seen;
    dvbpsi_t* h = dvbpsi_new(&ignore_message, DVBPSI_MSG_NONE);
    dvbpsi_pat_attach(h, on_pat, &seen);
    push_pid(h, ts, psize, 0);
    dvbpsi_pat_detach(h);
    dvbpsi_delete(h);
    for (const auto& [number, pmt_pid] : seen.programs) {
        if (number != program)
            continue;
        h = dvbpsi_new(&ignore_message, DVBPSI_MSG_NONE);
        dvbpsi_pmt_attach(h, program, on_pmt, &seen);
        push_pid(h, ts, psize, pmt_pid);
        dvbpsi_pmt_detach(h);
        dvbpsi_delete(h);
    }
    return seen;
}

}  // namespace

TEST_F(OtaStreams, DvbsGivesBackItsImageRawAndCompressedIn188And204BytePackets)
{
    const std::string img = image("flash.bin", 150000, 1, true);
    for (const char* flags : {"", "--compress"}) {
        for (int psize : {188, 204}) {
            SCOPED_TRACE(std::string(flags) + " " + std::to_string(psize));
            const std::string out = dir.file("ota.m2t");
            int rc = 0;
            std::string text = cli("dvbs '" + img + "' -o '" + out + "' --packet-size " + std::to_string(psize) +
                                       " --oui 123456 --sw-model 7 --hw-model 8 --sw-version 10002 --mode 94 " + flags,
                                   &rc);
            ASSERT_EQ(rc, 0) << text;
            text = read_back(out, "--image 1 '" + img + "'", &rc);
            ASSERT_EQ(rc, 0) << text;
            EXPECT_NE(text.find("\"packet_size\": " + std::to_string(psize)), std::string::npos) << text;
            EXPECT_NE(text.find("\"sw\": {\"oui\": 1193046, \"model\": 7, \"version\": 2}"), std::string::npos) << text;
            EXPECT_NE(text.find("\"mode\": 148"), std::string::npos) << text;
            EXPECT_NE(text.find("\"sw_version\": 65538"), std::string::npos) << text;
            EXPECT_NE(text.find(std::string("\"flags\": ") + (*flags ? "4" : "0")), std::string::npos) << text;
        }
    }
}

TEST_F(OtaStreams, DsmccGroupsGiveBackTheirImagesSplitCompressedAndRaw)
{
    const std::string three = image("three.bin", 3 * 0x10000, 2);
    const std::string seven = image("seven.bin", 7 * 0x10000, 3, true);
    const std::string odd = image("odd.bin", 12345, 4);
    const std::string out = dir.file("dsmcc.ts");
    int rc = 0;
    std::string text =
        cli("dsmcc '" + three + "' -o '" + out +
                "' --pid 1FFE --split --force --repeat 2 "
                "--group oui=1000,sw-version=1,hw-version=2,sw-model=3,hw-model=4,flag=1,sn-start=10,sn-end=20 "
                "--group oui=1000,sw-version=ABCD1234,hw-version=2,sw-model=3,hw-model=5,mfr=77,image='" +
                seven +
                "',compress=1 "
                "--group oui=2000,sw-version=1,hw-version=2,sw-model=3,hw-model=6,image='" +
                odd + "',split=0",
            &rc);
    ASSERT_EQ(rc, 0) << text;
    text = read_back(out, "--image 1 '" + three + "' --image 2 '" + seven + "' --image 3 '" + odd + "'", &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("\"flags\": 3, \"flag\": 1"), std::string::npos) << text;  // force, split
    EXPECT_NE(text.find("\"flags\": 7, \"flag\": 0"), std::string::npos) << text;  // force, split, compressed
    EXPECT_NE(text.find("\"sn\": [16, 32]"), std::string::npos) << text;
    EXPECT_NE(text.find("\"sw_version\": 2882343476"), std::string::npos) << text;

    // A split image is three modules, one per part; the last group is whole.
    text = cli("inspect '" + out + "'", &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("module 0x0102: 65536 bytes, offset 0x00020000"), std::string::npos) << text;
    EXPECT_NE(text.find("module 0x0202:"), std::string::npos) << text;
    EXPECT_NE(text.find("offset 0x00030000"), std::string::npos) << text;  // seven sectors: 3, 2, 2
    EXPECT_EQ(text.find("module 0x0301:"), std::string::npos) << text;
}

TEST_F(OtaStreams, AbsGivesBackItsImageAndItsErrorStreamsCarryTheirDefects)
{
    const std::string img = image("abs.bin", 20000, 5);
    const std::string out = dir.file("abs.ts");
    int rc = 0;
    std::string text = cli("abs '" + img + "' -o '" + out + "' --force --manufacturer 33", &rc);
    ASSERT_EQ(rc, 0) << text;
    text = read_back(out, "--abs '" + img + "'", &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("\"manufacturer\": 51, \"hardware\": 2, \"model\": 2, \"version\": 1, \"force\": 1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"programs\": {\"1\": 819}"), std::string::npos) << text;  // PMT on 0x0333

    const std::pair<const char*, const char*> cases[] = {{"5_6_6_7", "bad CRC-32"},    {"5_6_6_9", "bad CRC-32"},
                                                         {"5_6_6_14", "incomplete"},   {"5_6_6_15", "fails its CRC-32"},
                                                         {"5_6_7_3", "no ABS stream"}, {"5_6_7_6", "no ABS control"}};
    for (const auto& [name, complaint] : cases) {
        text = cli("abs '" + img + "' -o '" + out + "' --error-case " + name, &rc);
        ASSERT_EQ(rc, 0) << text;
        text = read_back(out, "--abs '" + img + "'", &rc);
        EXPECT_EQ(rc, 1) << name << ": " << text;
        EXPECT_NE(text.find(complaint), std::string::npos) << name << ": " << text;
    }
    // A wrong manufacturer is well formed: only a receiver's own check refuses it.
    text = cli("abs '" + img + "' -o '" + out + "' --error-case 5_6_6_2", &rc);
    text = read_back(out, "", &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("\"manufacturer\": 221"), std::string::npos) << text;
}

TEST_F(OtaStreams, LoopTimesRepeatTheWholeStreamWithCountersRunningOn)
{
    const std::string img = image("loop.bin", 30000, 6);
    int rc = 0;
    const std::pair<const char*, const char*> runs[] = {{"--loop 1", "one.ts"},
                                                        {"--loop 3", "loop3.ts"},
                                                        {"--repeat 3", "repeat3.ts"},
                                                        {"--repeat 2 --loop 3 --packet-size 204", "both204.ts"}};
    for (const auto& [args, name] : runs) {
        const std::string text = cli("dvbs '" + img + "' -o '" + dir.file(name) + "' " + args, &rc);
        ASSERT_EQ(rc, 0) << text;
    }
    const auto one = std::filesystem::file_size(dir.file("one.ts"));
    EXPECT_EQ(std::filesystem::file_size(dir.file("loop3.ts")), 3 * one);
    EXPECT_EQ(std::filesystem::file_size(dir.file("repeat3.ts")), 3 * one);
    EXPECT_EQ(std::filesystem::file_size(dir.file("both204.ts")), 6 * one / 188 * 204);
    for (const char* name : {"loop3.ts", "repeat3.ts", "both204.ts"}) {
        const std::string text = read_back(dir.file(name), "--image 1 '" + img + "'", &rc);
        EXPECT_EQ(rc, 0) << name << ": " << text;
    }
}

TEST_F(OtaStreams, FfprobeAndLibdvbpsiReadTheStreamsAndTheMerge)
{
    const std::string img = image("probe.bin", 40000, 7);
    const std::string base = ffmpeg_stream("base.ts");
    const std::string ota = dir.file("ota.m2t"), merged = dir.file("upgrade.ts");
    int rc = 0;
    std::string text =
        cli("dvbs '" + img + "' -o '" + ota + "' --merge '" + base + "' --merged-out '" + merged + "'", &rc);
    ASSERT_EQ(rc, 0) << text;
    for (const std::string& f : {ota, merged}) {
        text = run("ffprobe -v error -show_entries stream=id,codec_tag -of compact '" + f + "'", &rc);
        EXPECT_EQ(rc, 0) << text;
        EXPECT_NE(text.find("codec_tag=0x000b|id=0x160"), std::string::npos) << text;
        EXPECT_EQ(text.find("rror"), std::string::npos) << text;
    }

    PsiSeen psi = decode_psi(ota, 188, 1);
    ASSERT_EQ(psi.programs.size(), 1u);
    EXPECT_EQ(psi.programs[0], std::make_pair(uint16_t(1), uint16_t(0x100)));
    ASSERT_EQ(psi.streams.size(), 1u);
    EXPECT_EQ(psi.streams[0].type, 0x0B);
    EXPECT_EQ(psi.streams[0].pid, 0x160);
    EXPECT_EQ(psi.streams[0].data_broadcast_id, 0x000A);

    // ffmpeg's program 1 keeps its PMT; the upgrade is program 2 on a free PID.
    psi = decode_psi(merged, 188, 2);
    ASSERT_EQ(psi.programs.size(), 2u);
    EXPECT_EQ(psi.programs[0].first, 1);
    EXPECT_EQ(psi.programs[1].first, 2);
    ASSERT_EQ(psi.streams.size(), 1u);
    EXPECT_EQ(psi.streams[0].pid, 0x160);
    EXPECT_EQ(psi.streams[0].data_broadcast_id, 0x000A);

    const std::string abs = dir.file("abs.ts");
    text = cli("abs '" + img + "' -o '" + abs + "' --pmt-pid 40 --pid 41 --packet-size 204", &rc);
    ASSERT_EQ(rc, 0) << text;
    psi = decode_psi(abs, 204, 1);
    ASSERT_EQ(psi.programs.size(), 1u);
    EXPECT_EQ(psi.programs[0].second, 0x40);
    ASSERT_EQ(psi.streams.size(), 1u);
    EXPECT_EQ(psi.streams[0].type, 0x05);
    EXPECT_EQ(psi.streams[0].pid, 0x41);
}

TEST_F(OtaStreams, MergeIntoAnFfmpegStreamKeepsEveryOriginalPacket)
{
    const std::string base = ffmpeg_stream("base.ts");
    const std::string three = image("three.bin", 3 * 0x10000, 8);
    const std::string merged = dir.file("upgrade.ts");
    int rc = 0;
    std::string text = cli("dsmcc '" + three + "' -o '" + dir.file("ota.m2t") +
                               "' --pid 200 --split --compress "
                               "--repeat 2 --group oui=1,sw-version=1,hw-version=1,sw-model=1,hw-model=1 --merge '" +
                               base + "' --merged-out '" + merged + "'",
                           &rc);
    ASSERT_EQ(rc, 0) << text;
    text = read_back(merged, "--base '" + base + "' --image 1 '" + three + "'", &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("\"replaced_nulls\""), std::string::npos) << text;

    text = cli("abs '" + three + "' -o '" + dir.file("abs.ts") + "' --merge '" + base + "' --merged-out '" + merged +
                   "' --repeat 3",
               &rc);
    ASSERT_EQ(rc, 0) << text;
    text = read_back(merged, "--base '" + base + "' --abs '" + three + "'", &rc);
    EXPECT_EQ(rc, 0) << text;

    // A stream of 204-byte packets stays one: its own parity bytes untouched.
    const std::string ours = dir.file("abs204.ts");
    text = cli("abs '" + three + "' -o '" + ours + "' --pid 500 --pmt-pid 501 --packet-size 204", &rc);
    ASSERT_EQ(rc, 0) << text;
    std::vector<uint8_t> padded;
    const std::vector<uint8_t> abs204 = read_file(ours);
    std::vector<uint8_t> null(204, 0xFF);
    null[0] = 0x47, null[1] = 0x1F, null[3] = 0x10;
    for (int i = 188; i < 204; ++i)
        null[i] = uint8_t(i);
    for (size_t i = 0; i < abs204.size(); i += 204) {
        padded.insert(padded.end(), abs204.begin() + long(i), abs204.begin() + long(i) + 204);
        for (int k = 0; k < 3; ++k)
            padded.insert(padded.end(), null.begin(), null.end());
    }
    const std::string base204 = dir.file("base204.ts");
    write_file(base204, padded);
    const std::string small = image("small.bin", 30000, 12);
    text = cli("dvbs '" + small + "' -o '" + dir.file("ota.m2t") + "' --merge '" + base204 + "' --merged-out '" +
                   merged + "'",
               &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_EQ(std::filesystem::file_size(merged), padded.size());
    text = read_back(merged, "--base '" + base204 + "' --image 1 '" + small + "' --abs '" + three + "'", &rc);
    EXPECT_EQ(rc, 0) << text;
}

TEST_F(OtaStreams, MergeRefusesConflictsAndTooFewNullPacketsAndWritesNothing)
{
    const std::string base = ffmpeg_stream("base.ts");
    const std::string img = image("m.bin", 30000, 9);
    const std::string big = image("big.bin", 900000, 10);
    const std::string merged = dir.file("upgrade.ts");
    const std::pair<std::string, std::string> cases[] = {
        {"dvbs '" + img + "' --pid 100", "PID 0x0100 of the upgrade is already used"},  // ffmpeg's video
        {"abs '" + img + "' --pmt-pid 1000", "PMT PID 0x1000 of the upgrade is already used"},  // ffmpeg's PMT
        {"dvbs '" + big + "' --repeat 2", "too few for the upgrade repeated 2 times"},
    };
    for (const auto& [args, complaint] : cases) {
        int rc = 0;
        const std::string text =
            cli(args + " -o '" + dir.file("ota.m2t") + "' --merge '" + base + "' --merged-out '" + merged + "'", &rc);
        EXPECT_EQ(rc, 1) << text;
        EXPECT_NE(text.find(complaint), std::string::npos) << text;
        EXPECT_FALSE(std::filesystem::exists(merged)) << args;
    }
    // A stream of our own has no null packets at all.
    int rc = 0;
    std::string text = cli("dvbs '" + img + "' -o '" + dir.file("own.ts") + "' --pid 300", &rc);
    text = cli("dvbs '" + img + "' -o '" + dir.file("ota.m2t") + "' --merge '" + dir.file("own.ts") +
                   "' --merged-out '" + merged + "'",
               &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(text.find("has 0 null packets"), std::string::npos) << text;
}

TEST_F(OtaStreams, CommandLineExitStatusesAndChecks)
{
    const std::string img = image("c.bin", 5000, 11);
    const std::string out = dir.file("c.ts");
    struct Case {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"dvbs '" + dir.file("missing.bin") + "' -o '" + out + "'", 4, "Can't open file"},
        {"dsmcc '" + img + "' -o '" + out + "' --group oui=1,sw-version=1,hw-version=1,sw-model=1,hw-model=1", 2,
         "Please input PID!"},
        {"dsmcc '" + img + "' -o '" + out + "' --pid 2000", 2, "PID beyond 0 - 8191,input again!"},
        {"dsmcc '" + img + "' -o '" + out +
             "' --pid 1FFF --group oui=1,sw-version=1,hw-version=1,sw-model=1,hw-model=1",
         1, "null packet PID"},
        {"dsmcc '" + img + "' -o '" + out + "' --pid 50 --group oui=1,sw-version=1,sw-model=1,hw-model=1", 2,
         "Please input HW Version!"},
        {"dvbs '" + img + "' -o '" + out + "' --sw-model 10000", 2, "--sw-model"},
    };
    for (const auto& c : cases) {
        int rc = 0;
        const std::string text = cli(c.args, &rc);
        EXPECT_EQ(rc, c.status) << c.args << "\n" << text;
        EXPECT_NE(text.find(c.says), std::string::npos) << c.args << "\n" << text;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.args;
    }

    int rc = 0;
    std::string text = cli("dvbs '" + img + "' -o '" + out + "' --repeat 0", &rc);
    EXPECT_EQ(rc, 2);  // refused by the option parser
    EXPECT_NE(text.find("--repeat"), std::string::npos) << text;

    // inspect: 0 for a sound stream, 1 when a block is damaged, 4 for no stream.
    cli("dvbs '" + img + "' -o '" + out + "'", &rc);
    ASSERT_EQ(rc, 0);
    text = cli("inspect '" + out + "'", &rc);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("image: 5000 bytes"), std::string::npos) << text;
    std::vector<uint8_t> ts = read_file(out);
    ts[ts.size() - 188 * 3 + 100] ^= 0x40;  // inside the last block's section
    write_file(out, ts);
    text = cli("inspect '" + out + "'", &rc);
    EXPECT_EQ(rc, 1) << text;
    EXPECT_NE(text.find("1 CRC errors"), std::string::npos) << text;
    text = cli("inspect '" + img + "'", &rc);
    EXPECT_EQ(rc, 4) << text;
}
