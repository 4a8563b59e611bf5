// The shared byte helpers and the box's code page.
#include "ByteOrder.h"
#include "CodePage.h"

#include <gtest/gtest.h>

namespace {

TEST(ByteOrder, ReadsAndWritesBothOrders)
{
    const uint8_t raw[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(kv::get_le32(raw), 0x12345678u);
    EXPECT_EQ(kv::get_be32(raw), 0x78563412u);
    EXPECT_EQ(kv::get_le16(raw + 2), 0x1234);
    EXPECT_EQ(kv::get_be16(raw + 2), 0x3412);

    std::vector<uint8_t> out;
    kv::append_le32(out, 0xA1B2C3D4u);
    kv::append_be16(out, 0x0102);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 0x01, 0x02}));
    uint8_t buf[4];
    kv::put_be32(buf, 0x01020304u);
    EXPECT_EQ(kv::get_le32(buf), 0x04030201u);
}

TEST(ByteReader, ErrorIsStickyAndBounded)
{
    const std::vector<uint8_t> data = {1, 0, 2, 0, 0, 0, 9};
    kv::ByteReader r(data);
    EXPECT_EQ(r.le16(), 1);
    EXPECT_EQ(r.le32(), 2u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.le16(), 0);  // one byte left: a two-byte read fails
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0);  // and so does everything after it
    EXPECT_EQ(r.remaining(), 0u);

    kv::ByteReader huge(data);
    EXPECT_EQ(huge.take(SIZE_MAX), nullptr);  // a hostile length never wraps
    EXPECT_FALSE(huge.ok());
    kv::ByteReader s(data);
    EXPECT_FALSE(s.seek(8));
    EXPECT_TRUE(kv::ByteReader(data).seek(7));
}

TEST(CodePage, Windows1252IsOneBytePerCharacter)
{
    kv::CodePage cp;
    std::string bytes, bad;
    ASSERT_TRUE(cp.to_box("Caf\xC3\xA9 \xC3\x96", bytes));  // "Café Ö"
    EXPECT_EQ(bytes, "Caf\xE9 \xD6");
    EXPECT_EQ(cp.to_screen(bytes), "Caf\xC3\xA9 \xC3\x96");
    EXPECT_FALSE(cp.to_box("\xE4\xB8\xAD", bytes, &bad));  // a Chinese character
    EXPECT_EQ(bad, "\xE4\xB8\xAD");
    EXPECT_EQ(cp.fit("abcdef", 4), 4u);
}

TEST(CodePage, UndefinedAndErasedBytesShowButDoNotRoundTrip)
{
    kv::CodePage cp;
    EXPECT_TRUE(cp.round_trips("Caf\xE9"));
    EXPECT_TRUE(cp.round_trips("\xFF\xFF"));  // erased flash shows as "ÿÿ"
    EXPECT_EQ(cp.to_screen("a\x81z"), "a\xEF\xBF\xBDz");  // 0x81 is not defined
    EXPECT_FALSE(cp.round_trips("a\x81z"));
}

TEST(CodePage, GbkKeepsPairsTogether)
{
    kv::CodePage gbk("gbk");
    ASSERT_TRUE(gbk.valid());
    std::string bytes;
    ASSERT_TRUE(gbk.to_box("A\xE4\xB8\xAD\xE6\x96\x87", bytes));  // "A中文"
    EXPECT_EQ(bytes, "A\xD6\xD0\xCE\xC4");
    EXPECT_EQ(gbk.fit(bytes, 4), 3u);  // never half a character
    EXPECT_EQ(gbk.fit(bytes, 5), 5u);
    EXPECT_EQ(gbk.to_screen(bytes), "A\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_FALSE(kv::CodePage("EBCDIC-XYZ").valid());
}

}  // namespace
