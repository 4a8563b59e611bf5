// Sub-readers and the writer, the text helpers and files written in one piece.
#include "AtomicFile.h"
#include "ByteOrder.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

TEST(ByteReader, SubReadersStayInsideTheirBytes)
{
    const std::vector<uint8_t> data = {3, 0xAA, 0xBB, 0xCC, 7, 8};
    kv::ByteReader r(data);
    kv::ByteReader rec = r.sub(r.u8());
    EXPECT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec.be16(), 0xAABB);
    EXPECT_EQ(rec.le16(), 0);  // one byte left in the record, though the parent has more
    EXPECT_FALSE(rec.ok());
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u8(), 7);  // the parent went on after the record

    kv::ByteReader over = r.sub(5);  // only one byte left
    EXPECT_FALSE(over.ok());
    EXPECT_EQ(over.le32(), 0u);
    EXPECT_FALSE(r.ok());

    kv::ByteReader whole(data);
    EXPECT_EQ(whole.view(4, 2).le16(), 0x0807);
    EXPECT_EQ(whole.pos(), 0u);  // a view does not move the reader
    EXPECT_FALSE(whole.view(5, 2).ok());
    EXPECT_FALSE(whole.view(SIZE_MAX, 2).ok());  // no wrap-around
    EXPECT_FALSE(whole.view(2, SIZE_MAX).ok());
    EXPECT_TRUE(whole.view(6, 0).ok());
    whole.skip(4);
    EXPECT_EQ(whole.rest().size(), 2u);
    EXPECT_EQ(whole.remaining(), 0u);
}

TEST(ByteWriter, AppendsAndPatchesWithinWhatItWrote)
{
    kv::ByteWriter w;
    w.u8(1).le16(0x0203).be32(0x04050607).fill(2, 0xFF).bytes("ab", 2);
    EXPECT_TRUE(w.patch_le16(1, 0x1122));
    EXPECT_FALSE(w.patch_le32(8, 0));  // reaches one byte past the end
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.data(), (std::vector<uint8_t>{1, 0x22, 0x11, 4, 5, 6, 7, 0xFF, 0xFF, 'a', 'b'}));
    auto out = w.take();
    EXPECT_EQ(out.size(), 11u);
    EXPECT_EQ(w.size(), 0u);
}

TEST(Text, TrimsTheChosenBlanks)
{
    EXPECT_EQ(kv::trimmed(" \t a b \r\n"), "a b");
    EXPECT_EQ(kv::trimmed(" \r\n "), "");
    EXPECT_EQ(kv::trimmed("\va\f"), "\va\f");
    EXPECT_EQ(kv::trimmed("\va\f", kv::kWhiteSpace), "a");
    EXPECT_EQ(kv::trimmed(" a\n", " \t"), "a\n");
}

TEST(Text, Utf8ReadsStrictlyAndConvertsBothWays)
{
    EXPECT_TRUE(kv::valid_utf8("Caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(kv::valid_utf8("\xC0\xAF"));  // overlong '/'
    EXPECT_FALSE(kv::valid_utf8("\xED\xA0\x80"));  // a surrogate
    EXPECT_FALSE(kv::valid_utf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(kv::valid_utf8("ab\xE4\xB8"));  // cut short
    kv::Utf8Char c = kv::utf8_at("\xE4\xB8", 0);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.len, 2u);  // clipped to the end of the text

    const std::u16string wide = kv::utf8_to_utf16("a\xC3\xA9\xF0\x9F\x98\x80\xFFz");
    EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00, 0xFFFD, u'z'}));
    EXPECT_EQ(kv::utf16_to_utf8(wide), "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDz");
    EXPECT_EQ(kv::utf16_to_utf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");  // lone surrogate
    EXPECT_EQ(kv::latin1_to_utf8("\xE9\x41"), "\xC3\xA9\x41");
}

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("corvane-atomic-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string read(const fs::path& p)
    {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    size_t entries() { return (size_t)std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()); }
    fs::path m_dir;
};

TEST_F(AtomicFileTest, ReplacesInOnePieceKeepingPermissions)
{
    const fs::path p = m_dir / "out.bin";
    ASSERT_TRUE(kv::write_file_atomic(p.string(), "old", 3));
    ::chmod(p.c_str(), 0600);
    ASSERT_TRUE(kv::write_file_atomic(p.string(), "new!", 4));
    EXPECT_EQ(read(p), "new!");
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(), 1u);  // no temporary left
}

TEST_F(AtomicFileTest, DroppedOrFailedLeavesTheOldFile)
{
    const fs::path p = m_dir / "keep.txt";
    ASSERT_TRUE(kv::write_file_atomic(p.string(), "keep", 4));
    {
        kv::AtomicFile f;
        std::string err;
        ASSERT_TRUE(f.open(p.string(), err));
        f.write("half", 4);
    }  // no commit
    EXPECT_EQ(read(p), "keep");
    EXPECT_EQ(entries(), 1u);

    std::string err;
    EXPECT_FALSE(kv::write_file_atomic((m_dir / "no/such/dir/x").string(), "x", 1, &err));
    EXPECT_EQ(err.rfind("Can't create ", 0), 0u) << err;
    // A directory in the way: the rename fails and the temporary goes.
    fs::create_directories(m_dir / "sub");
    fs::create_directories(m_dir / "sub" / "inner");
    EXPECT_FALSE(kv::write_file_atomic((m_dir / "sub").string(), "x", 1, &err));
    EXPECT_EQ(err.rfind("Can't write ", 0), 0u) << err;
    EXPECT_EQ(entries(), 2u);
}

}  // namespace
