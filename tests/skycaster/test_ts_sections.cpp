// PAT and PMT read back from packets, and sections put together across
// packets whose pointer field ends one section and starts the next.
#include "TsPackets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace ota;

namespace {

std::vector<uint8_t> packet(uint16_t pid, bool start, uint8_t cc, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> p(kTsPacketSize, 0xFF);
    ts_put_header(p.data(), pid, start);
    p[3] = static_cast<uint8_t>((p[3] & 0xF0) | cc);
    std::copy(payload.begin(), payload.end(), p.begin() + 4);
    return p;
}

std::vector<std::vector<uint8_t>> assemble(const std::vector<uint8_t>& ts, SectionAssembler* a)
{
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize)
        a->feed(ts.data() + at, [&](const uint8_t* s, size_t n) { out.emplace_back(s, s + n); });
    return out;
}

}  // namespace

TEST(TsSections, PatAndPmtComeBackFromTheirPackets)
{
    std::vector<uint8_t> es_info(300, 0);  // long enough for the PMT to take two packets
    es_info[0] = 0x52;
    es_info[1] = 0x01;
    const std::vector<uint8_t> pat = make_pat(0x1234, 3, {{1, 0x100}, {2, 0x1FF0}});
    const std::vector<uint8_t> pmt = make_pmt(1, 0, 0x101, {{0x02, 0x101, es_info}, {0x05, 0x300, {}}});
    std::vector<uint8_t> ts;
    TsPacketizer(ts).put_section(0x100, pmt);
    ASSERT_EQ(ts.size(), 2 * kTsPacketSize);
    CcStamper cc;
    for (size_t at = 0; at < ts.size(); at += kTsPacketSize)
        cc.stamp(ts.data() + at);
    SectionAssembler a;
    const auto secs = assemble(ts, &a);
    ASSERT_EQ(secs.size(), 1u);
    EXPECT_EQ(secs[0], pmt);

    uint16_t tsid = 0, program = 0;
    std::vector<PatEntry> programs;
    ASSERT_TRUE(parse_pat(pat.data(), pat.size(), &tsid, &programs));
    EXPECT_EQ(tsid, 0x1234);
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[1].program_number, 2);
    EXPECT_EQ(programs[1].pmt_pid, 0x1FF0);
    std::vector<PmtStream> streams;
    ASSERT_TRUE(parse_pmt(secs[0].data(), secs[0].size(), &program, &streams));
    EXPECT_EQ(program, 1);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].es_info, es_info);
    EXPECT_EQ(streams[1].pid, 0x300);
    EXPECT_TRUE(streams[1].es_info.empty());
}

TEST(TsSections, APointerFieldEndsOneSectionAndStartsTheNext)
{
    std::vector<uint8_t> es_info(250, 0x11);
    const std::vector<uint8_t> first = make_pmt(7, 1, 0x101, {{0x02, 0x101, es_info}});
    const std::vector<uint8_t> second = make_pat(9, 0, {{7, 0x100}});
    ASSERT_GT(first.size(), 183u);
    const size_t head = 183;  // what the first packet carries behind its pointer field
    std::vector<uint8_t> p1{0};
    p1.insert(p1.end(), first.begin(), first.begin() + head);
    const size_t rest = first.size() - head;
    std::vector<uint8_t> p2{static_cast<uint8_t>(rest)};
    p2.insert(p2.end(), first.begin() + head, first.end());
    p2.insert(p2.end(), second.begin(), second.end());
    std::vector<uint8_t> ts = packet(0x100, true, 0, p1);
    const std::vector<uint8_t> second_packet = packet(0x100, true, 1, p2);
    ts.insert(ts.end(), second_packet.begin(), second_packet.end());

    SectionAssembler a;
    const auto secs = assemble(ts, &a);
    ASSERT_EQ(secs.size(), 2u);
    EXPECT_EQ(secs[0], first);
    EXPECT_EQ(secs[1], second);
    EXPECT_EQ(a.dropped(), 0u);

    // A pointer beyond the payload drops what was being collected.
    SectionAssembler b;
    const std::vector<uint8_t> bad = packet(0x100, true, 0, {200});
    EXPECT_TRUE(assemble(bad, &b).empty());
    EXPECT_EQ(b.dropped(), 1u);
}
