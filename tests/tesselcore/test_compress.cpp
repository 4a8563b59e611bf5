#include "ImageBuilder.h"

#include <gtest/gtest.h>

using namespace tessel;

namespace {

std::vector<uint8_t> sample(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = (i % 3) ? (uint8_t)('a' + (x >> 16) % 6) : (uint8_t)(x >> 24);
    }
    return v;
}

int sh(const std::string& cmd) { return std::system(cmd.c_str()); }

}  // namespace

TEST(TesselLzma, OurStreamHasTheRealSizeAndXzReadsIt)
{
    tb::ScratchDir dir;
    auto in = sample(300000);
    CTesselcore core;
    std::vector<uint8_t> packed;
    ASSERT_EQ(1, core.compress_data(&packed, in.data(), in.size()));
    ASSERT_GT(packed.size(), 13u);
    EXPECT_EQ(0x5D, packed[0]);  // lc 3, lp 0, pb 2
    EXPECT_EQ(in.size(), rd32(packed.data() + 5));
    EXPECT_EQ(0u, rd32(packed.data() + 9));
    tb::spit(dir.file("p.lzma"), packed.data(), packed.size());
    ASSERT_EQ(0, sh("xz --format=lzma -d -k '" + dir.file("p.lzma") + "'"));
    EXPECT_TRUE(tb::slurp(dir.file("p")) == in);

    std::vector<uint8_t> back;
    ASSERT_EQ(1, core.uncompress_data(&back, packed.data(), packed.size(), in.size()));
    EXPECT_TRUE(back == in);
    // Beyond the room given, or cut short: refused.
    EXPECT_EQ(0, core.uncompress_data(&back, packed.data(), packed.size(), in.size() - 1));
    EXPECT_EQ("error to open output file!", core.last_message());
    EXPECT_EQ(0, core.uncompress_data(&back, packed.data(), packed.size() / 2));
    EXPECT_EQ(0, core.uncompress_data(&back, packed.data(), 10));
    // Empty input.
    ASSERT_EQ(1, core.compress_data(&packed, nullptr, 0));
    ASSERT_EQ(1, core.uncompress_data(&back, packed.data(), packed.size()));
    EXPECT_TRUE(back.empty());
}

// The dictionary size comes from the block's header: a hostile one (4 GiB)
// is capped to what the output can need, and a declared size beyond the room
// is refused as too large before anything is unpacked.
TEST(TesselLzma, HostileHeaderIsCappedOrRefused)
{
    auto in = sample(50000);
    std::vector<uint8_t> packed;
    ASSERT_TRUE(lzma_alone_compress(in.data(), in.size(), &packed));
    wr32(packed.data() + 1, 0xFFFFFFFFu);
    std::vector<uint8_t> back;
    ASSERT_EQ(unpack_t::ok, lzma_alone_unpack(packed.data(), packed.size(), &back, kPresetBufferSize));
    EXPECT_TRUE(back == in);
    wr32(packed.data() + 5, 0xFFFFFFF0u);
    wr32(packed.data() + 9, 0xFF);
    EXPECT_EQ(unpack_t::too_large, lzma_alone_unpack(packed.data(), packed.size(), &back, kPresetBufferSize));
    CTesselcore core;
    EXPECT_EQ(0, core.uncompress_data(&back, packed.data(), packed.size()));
    EXPECT_EQ("error to open output file!", core.last_message());
    EXPECT_NE(std::string::npos, core.last_detail().find("too large"));
}

TEST(TesselLzma, WeReadWhatXzWrites)
{
    tb::ScratchDir dir;
    auto in = sample(70000);
    tb::spit(dir.file("x"), in.data(), in.size());
    ASSERT_EQ(0, sh("xz --format=lzma -k '" + dir.file("x") + "'"));
    auto packed = tb::slurp(dir.file("x.lzma"));
    CTesselcore core;
    std::vector<uint8_t> back;
    ASSERT_EQ(1, core.uncompress_data(&back, packed.data(), packed.size()));
    EXPECT_TRUE(back == in);
    // The buffer form with its room.
    std::vector<uint8_t> room(in.size());
    uint32_t len = (uint32_t)room.size();
    ASSERT_EQ(1, core.uncompress_data(room.data(), &len, packed.data(), (uint32_t)packed.size()));
    EXPECT_EQ(in.size(), len);
    len = 100;
    EXPECT_EQ(0, core.uncompress_data(room.data(), &len, packed.data(), (uint32_t)packed.size()));
}

TEST(TesselGzip, BothWaysWithGzip)
{
    tb::ScratchDir dir;
    auto in = sample(50000);
    std::vector<uint8_t> gz;
    ASSERT_TRUE(gzip_compress(in.data(), in.size(), &gz));
    tb::spit(dir.file("a.gz"), gz.data(), gz.size());
    ASSERT_EQ(0, sh("gzip -d -k '" + dir.file("a.gz") + "'"));
    EXPECT_TRUE(tb::slurp(dir.file("a")) == in);

    tb::spit(dir.file("b"), in.data(), in.size());
    ASSERT_EQ(0, sh("gzip -k '" + dir.file("b") + "'"));
    auto theirs = tb::slurp(dir.file("b.gz"));
    std::vector<uint8_t> back;
    ASSERT_TRUE(gzip_decompress(theirs.data(), theirs.size(), &back, 1 << 20));
    EXPECT_TRUE(back == in);
    EXPECT_FALSE(gzip_decompress(theirs.data(), theirs.size(), &back, 1000));
    EXPECT_FALSE(gzip_decompress(theirs.data(), theirs.size() - 9, &back, 1 << 20));
    // Two members, as `cat` makes them, read as one.
    std::vector<uint8_t> two = theirs;
    two.insert(two.end(), theirs.begin(), theirs.end());
    ASSERT_TRUE(gzip_decompress(two.data(), two.size(), &back, 1 << 20));
    EXPECT_EQ(2 * in.size(), back.size());
    // What follows the last member without a member's magic is padding (an
    // erased block's 0xFF), ignored as gzip does; a second member cut short is not.
    std::vector<uint8_t> padded = theirs;
    padded.insert(padded.end(), 300, 0xFF);
    ASSERT_TRUE(gzip_decompress(padded.data(), padded.size(), &back, 1 << 20));
    EXPECT_TRUE(back == in);
    std::vector<uint8_t> cut = theirs;
    cut.insert(cut.end(), theirs.begin(), theirs.begin() + 20);
    EXPECT_FALSE(gzip_decompress(cut.data(), cut.size(), &back, 1 << 20));
    EXPECT_EQ(unpack_t::too_large, gzip_unpack(theirs.data(), theirs.size(), &back, 1000));
}
