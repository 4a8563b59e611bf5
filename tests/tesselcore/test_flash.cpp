#include "ImageBuilder.h"

#include <gtest/gtest.h>

using namespace tessel;

namespace {

const uint32_t MiB = 1u << 20;

tb::Dmh ten_blocks(uint32_t addr)
{
    tb::Dmh d;
    d.addr = addr;
    for (int i = 0; i < 10; ++i) {
        tb::Block b;
        b.id = (uint8_t)(0x10 + i);
        b.name = "blk" + std::to_string(i);
        b.offset = 0x1000 + 0x1000 * i;
        b.data = tb::bytes(100 + i, (uint8_t)i);
        d.blocks.push_back(b);
    }
    return d;
}

}  // namespace

TEST(TesselScan, OneDmhWithTenBlocks)
{
    auto img = tb::build(8 * MiB, {ten_blocks(0x40000)});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    ASSERT_EQ(10, node.n.count);
    EXPECT_EQ(8 * MiB, node.n.image_len);
    EXPECT_EQ(0x04000000u, core.sdram_size());
    for (uint32_t i = 0; i < 10; ++i) {
        const auto& r = node.n.working[i];
        EXPECT_EQ(1, r.dmh_seq);
        EXPECT_EQ(0x40000u, r.dmh_addr);
        EXPECT_EQ(i, r.index_in_dmh);
        EXPECT_EQ(0x10 + i, entry_id(r));
        EXPECT_EQ(100 + i, entry_size(r));
        EXPECT_EQ(0, memcmp(r.data, img.data() + 0x40000 + entry_offset(r), entry_size(r)));
        EXPECT_EQ(0, memcmp(node.n.pristine[i].entry, r.entry, 48));
        EXPECT_EQ(nullptr, node.n.pristine[i].data);
    }
    EXPECT_EQ("blk3", entry_name(node.n.working[3]));
    EXPECT_EQ("v1.0", entry_version(node.n.working[3]));
    EXPECT_EQ("20261207", entry_time(node.n.working[3]));
}

TEST(TesselScan, MarkerWithWrongEntrySizeIsNotADmh)
{
    auto d = ten_blocks(0x1000);
    d.entry_size_byte = 47;
    auto img = tb::build(MiB / 2, {d});
    CTesselcore core;
    tb::Node node(core);
    EXPECT_EQ(0, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    EXPECT_EQ(0, node.n.count);
    EXPECT_EQ(nullptr, node.n.working);
    // A wrong marker beside a good one: only the good one counts.
    auto good = ten_blocks(0x20000);
    auto img2 = tb::build(MiB / 2, {d, good});
    EXPECT_EQ(1, core.scan_flash(img2.data(), (uint32_t)img2.size(), &node.n));
    EXPECT_EQ(10, node.n.count);
    EXPECT_EQ(0x20000u, node.n.working[0].dmh_addr);
}

TEST(TesselScan, TooManyBlocksAndEntriesOutsideTheImage)
{
    tb::Dmh a, b;
    a.addr = 0;
    b.addr = 0x40000;
    for (int i = 0; i < 40; ++i)
        a.blocks.push_back({(uint8_t)i, "a", (uint32_t)(0x4000 + 16 * i), tb::bytes(16, 1)});
    for (int i = 0; i < 30; ++i)
        b.blocks.push_back({(uint8_t)(100 + i), "b", (uint32_t)(0x4000 + 16 * i), tb::bytes(16, 2)});
    auto img = tb::build(MiB, {a, b});
    CTesselcore core;
    tb::Node node(core);
    // 40 + 30 entries: not an image of the new type; it is read in the old layout.
    EXPECT_EQ(0, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    EXPECT_FALSE(core.is_new_flash_type(img.data(), (uint32_t)img.size(), &node.n));
    EXPECT_EQ(nullptr, node.n.working);
    tessel_image_t loaded;
    EXPECT_EQ(-1, core.load_image_bytes(img, &loaded, &node.n));
    EXPECT_EQ("Wrong bin file!", core.last_message()) << "the old layout's own check";
    EXPECT_TRUE(loaded.bytes.empty());

    // An entry whose data runs past the end of the image is refused.
    tb::Dmh c;
    c.addr = MiB / 2 - 0x1000;
    c.blocks.push_back({0x20, "big", 0x100, tb::bytes(16, 3)});
    c.blocks[0].size_override = 0x2000;
    auto img2 = tb::build(MiB / 2, {c});
    EXPECT_EQ(-5, core.scan_flash(img2.data(), (uint32_t)img2.size(), &node.n));
    EXPECT_NE(std::string::npos, core.last_message().find("outside the image"));
    // An offset that wraps 32 bits is refused as well.
    c.blocks[0].size_override = 0;
    c.blocks[0].offset = 0xFFFFFFF0u;
    c.blocks[0].data.clear();
    auto img3 = tb::build(MiB / 2, {c});
    tb::put32(img3.data() + c.addr + 28 + 8, 0x100);
    EXPECT_EQ(-5, core.scan_flash(img3.data(), (uint32_t)img3.size(), &node.n));
    // A header whose entries run past the end of the image.
    std::vector<uint8_t> img4(MiB / 2, 0);
    memcpy(img4.data() + img4.size() - 40, kDmhMarker, 12);
    img4[img4.size() - 40 + 24] = 3;
    img4[img4.size() - 40 + 26] = 48;
    EXPECT_EQ(-5, core.scan_flash(img4.data(), (uint32_t)img4.size(), &node.n));
    // A marker in the last bytes, too short for a header, is no DMH.
    std::vector<uint8_t> img5(MiB / 2, 0);
    memcpy(img5.data() + img5.size() - 12, kDmhMarker, 12);
    EXPECT_EQ(0, core.scan_flash(img5.data(), (uint32_t)img5.size(), &node.n));

    // Blocks may overlap, but three that each span the whole image are more
    // than twice the image: refused before they are copied.
    tb::Dmh whole;
    whole.addr = 0;
    for (uint8_t id : {1, 2, 3})
        whole.blocks.push_back({id, "all", 0, {}, false, MiB / 2});
    auto img6 = tb::build(MiB / 2, {whole});
    EXPECT_EQ(-5, core.scan_flash(img6.data(), (uint32_t)img6.size(), &node.n));
    EXPECT_NE(std::string::npos, core.last_message().find("too large"));
    whole.blocks.pop_back();
    auto img7 = tb::build(MiB / 2, {whole});
    EXPECT_EQ(1, core.scan_flash(img7.data(), (uint32_t)img7.size(), &node.n)) << "two are allowed";
    core.free_block_node(&node.n);
}

TEST(TesselLookup, ByIdNameAndDmh)
{
    auto d1 = ten_blocks(0x1000);
    d1.blocks[2].name = "toolcfg";
    auto d2 = ten_blocks(0x60000);
    d2.blocks[0].id = 0x99;
    auto img = tb::build(MiB, {d1, d2});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    ASSERT_EQ(20, node.n.count);
    EXPECT_EQ(2, node.n.working[10].dmh_seq);
    EXPECT_EQ(&node.n.working[0], core.get_block_info_by_id(0x10));  // first in table order
    EXPECT_EQ(nullptr, core.get_block_info_by_id(0x77));
    EXPECT_EQ("ERROR!! can not find block id[0x77]in dmh!", core.last_message());
    EXPECT_EQ(&node.n.working[2], core.get_block_info_by_name("tool", 4));
    EXPECT_EQ(nullptr, core.get_block_info_by_name("toolx", 5));
    EXPECT_EQ(&node.n.working[1], core.get_block_info_by_name_id("blk1", 8, 0x11));  // first in table order
    EXPECT_EQ(&node.n.working[10], core.get_block_info_by_name_id("blk0", 8, 0x99));
    EXPECT_EQ(nullptr, core.get_block_info_by_name_id("blk1", 8, 0x12));
    EXPECT_EQ("ERROR!! can not find block [blk1] id[0x12]in dmh!", core.last_message());
    EXPECT_EQ(0x60000u, core.get_next_dmh_addr(0));
    EXPECT_EQ(0u, core.get_next_dmh_addr(10));
    EXPECT_EQ(0u, core.get_next_dmh_addr(20));
}

TEST(TesselRebuild, UnchangedImageComesBackByteForByte)
{
    auto d1 = ten_blocks(0x1000);
    d1.blocks[4].ncrc = true;
    auto img = tb::build(MiB, {d1, ten_blocks(0x60000)});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    std::vector<uint8_t> out;
    ASSERT_EQ(0, core.rebuild_flash(img.data(), (uint32_t)img.size(), &out));
    EXPECT_TRUE(out == img);
}

TEST(TesselRebuild, CrcNcrcAndAlignment)
{
    tb::Dmh d;
    d.addr = 0;
    d.blocks.push_back({0x01, "one", 0x100, tb::bytes(64, 1)});
    d.blocks.push_back({0xA4, "kernel", 0x12345, tb::bytes(64, 2)});
    d.blocks.push_back({0xA8, "rootfs", 0x30000, tb::bytes(64, 3)});
    d.blocks.push_back({0x05, "nocrc", 0x40000, tb::bytes(64, 4)});
    d.blocks[3].ncrc = true;
    auto img = tb::build(MiB / 2, {d});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    node.n.working[0].data[5] ^= 0xFF;
    node.n.working[3].data[5] ^= 0xFF;
    tb::ScratchDir dir;
    ASSERT_EQ(0, core.save_new_flash(img.data(), (uint32_t)img.size(), dir.file("new.bin")));
    EXPECT_EQ("The New Flash File Created Successful!", core.last_message());
    auto out = tb::slurp(dir.file("new.bin"));
    ASSERT_EQ(img.size(), out.size());

    CTesselcore again;
    tb::Node n2(again);
    ASSERT_EQ(1, again.scan_flash(out.data(), (uint32_t)out.size(), &n2.n));
    EXPECT_EQ(kv::crc32(n2.n.working[0].data, 64), entry_crc(n2.n.working[0]));
    EXPECT_EQ(node.n.working[0].data[5], n2.n.working[0].data[5]);
    EXPECT_EQ(0x20000u, entry_offset(n2.n.working[1]));
    EXPECT_EQ(0, memcmp(out.data() + 0x20000, tb::bytes(64, 2).data(), 64));
    EXPECT_EQ(0x30000u, entry_offset(n2.n.working[2]));
    EXPECT_TRUE(entry_is_ncrc(n2.n.working[3]));
    EXPECT_EQ(node.n.working[3].data[5], out[0x40005]);
    // Fields kept as found stay.
    EXPECT_EQ(0xA5, n2.n.working[1].entry[1]);
    EXPECT_EQ(0xCAFEF00Du, rd32(n2.n.working[1].entry + 44));
}

TEST(TesselRebuild, GrownBlockMovesTheNextAndBootloaderLimit)
{
    tb::Dmh d1, d2;
    d1.addr = 0;
    d1.blocks.push_back({0x01, "boot", 0x100, tb::bytes(0x100, 1)});
    d1.blocks.push_back({0x02, "cfg", 0x200, tb::bytes(0x100, 2)});
    d2.addr = 0x10000;
    d2.blocks.push_back({0x03, "app", 0x100, tb::bytes(0x100, 3)});
    auto img = tb::build(MiB / 2, {d1, d2});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    tb::ScratchDir dir;
    EXPECT_EQ(-1, core.load_block("boot", 0x01, ""));
    auto grown = tb::bytes(0x180, 9);
    tb::spit(dir.file("boot.bin"), grown.data(), grown.size());
    ASSERT_EQ(0, core.load_block("boot", 0x01, dir.file("boot.bin")));
    EXPECT_EQ("The Block have been loaded!", core.last_message());
    std::vector<uint8_t> out;
    ASSERT_EQ(0, core.rebuild_flash(img.data(), (uint32_t)img.size(), &out));
    EXPECT_EQ(0x280u, entry_offset(node.n.working[1]));
    CTesselcore again;
    tb::Node n2(again);
    ASSERT_EQ(1, again.scan_flash(out.data(), (uint32_t)out.size(), &n2.n));
    EXPECT_EQ(0x180u, entry_size(n2.n.working[0]));
    EXPECT_EQ(0, memcmp(n2.n.working[0].data, grown.data(), grown.size()));
    EXPECT_EQ(0, memcmp(n2.n.working[1].data, tb::bytes(0x100, 2).data(), 0x100));
    EXPECT_EQ(0, memcmp(n2.n.working[2].data, tb::bytes(0x100, 3).data(), 0x100));

    // A first-DMH block that now ends past the second DMH.
    auto huge = tb::bytes(0x10000, 5);
    tb::spit(dir.file("cfg.bin"), huge.data(), huge.size());
    ASSERT_EQ(0, core.load_block("cfg", 0x02, dir.file("cfg.bin")));
    EXPECT_EQ(-1, core.save_new_flash(img.data(), (uint32_t)img.size(), dir.file("bad.bin")));
    EXPECT_EQ("Error: bootloader out of range", core.last_message());
    EXPECT_TRUE(tb::slurp(dir.file("bad.bin")).empty());
}

TEST(TesselRebuild, DataBeyondTheImageWritesNothing)
{
    tb::Dmh d;
    d.addr = 0;
    d.blocks.push_back({0x01, "last", 0x70000, tb::bytes(0x100, 1)});
    auto img = tb::build(MiB / 2, {d});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    tb::ScratchDir dir;
    auto big = tb::bytes(0x20000, 1);
    tb::spit(dir.file("b.bin"), big.data(), big.size());
    ASSERT_EQ(0, core.load_block("last", 0x01, dir.file("b.bin")));
    EXPECT_EQ(-1, core.save_new_flash(img.data(), (uint32_t)img.size(), dir.file("out.bin")));
    EXPECT_EQ("Error: file too large, out of range.", core.last_message());
    EXPECT_TRUE(tb::slurp(dir.file("out.bin")).empty());
    EXPECT_EQ(-1, core.save_new_flash(img.data(), (uint32_t)img.size(), "/nonexistent/x.bin"));
}

TEST(TesselBlocks, SaveAndLoadMessages)
{
    auto img = tb::build(MiB / 2, {ten_blocks(0)});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    tb::ScratchDir dir;
    ASSERT_EQ(0, core.save_block(img.data(), (uint32_t)img.size(), "blk3", 0x13, dir.file("b3")));
    EXPECT_EQ("The Block have been saved!", core.last_message());
    EXPECT_EQ(tb::bytes(103, 3), tb::slurp(dir.file("b3")));
    EXPECT_EQ(-1, core.save_block(img.data(), (uint32_t)img.size(), "blk3", 0x14, dir.file("x")));
    EXPECT_EQ("Save failed! Block name or ID can not find in flash!", core.last_message());
    EXPECT_EQ(-1, core.save_block(img.data(), (uint32_t)img.size(), "blk3", 0x13, ""));
    EXPECT_EQ("Please select output file!", core.last_message());
    tb::spit(dir.file("empty"), "", 0);
    EXPECT_EQ(-1, core.load_block("blk3", 0x13, dir.file("empty")));
    EXPECT_EQ("The load file is 0 bytes!", core.last_message());
    EXPECT_EQ(-1, core.load_block("blk3", 0x13, dir.file("missing")));
    EXPECT_EQ("error to open load block bin  file ", core.last_message());
    EXPECT_EQ(-1, core.load_block("nope", 0x13, dir.file("b3")));
    EXPECT_EQ("Load failed! Block name or ID can not find in flash!", core.last_message());
}

TEST(TesselFlash, ScriptOfTheToolcfgBlock)
{
    std::string script = "CFGHEADER=toolcfg\nSHEETID=3\n";
    std::vector<uint8_t> gz;
    ASSERT_TRUE(gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &gz));
    tb::Dmh d;
    d.blocks.push_back({0x01, "toolcfg", 0x1000, gz});
    d.blocks.push_back({0x02, "broken", 0x2000, {0x1F, 0x8B, 8, 0, 1, 2, 3}});
    auto img = tb::build(MiB / 2, {d});
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    ASSERT_EQ(0, core.parse_flash(img.data(), (uint32_t)img.size()));
    EXPECT_EQ(script, core.script_text());
    // A damaged script block and an image without one.
    memcpy(node.n.working[0].entry + 24, "xoolcfg", 7);
    EXPECT_EQ(-3, core.parse_flash(img.data(), (uint32_t)img.size()));
    memcpy(node.n.working[1].entry + 24, "toolcfg", 8);
    EXPECT_EQ(-8, core.parse_flash(img.data(), (uint32_t)img.size()));
}

TEST(TesselOldLayout, HeaderChecks)
{
    const uint32_t len = MiB / 2;
    std::vector<uint8_t> img(len, 0);
    const uint32_t h = 0x100;
    tb::put32(img.data() + 8, h);
    tb::put32(img.data() + 28, 0x2000);
    tb::put32(img.data() + 32, 0x400);
    img[h + 0] = 0x00;
    img[h + 2] = 0x40;  // SDRAM 0x400000
    img[h + 4] = 0x00;
    img[h + 6] = 0x08;  // flash 0x80000
    img[h + 8] = 3;
    img[h + 12] = 0x42;
    CTesselcore core;
    tessel_old_image_t info;
    ASSERT_EQ(0, core.read_old_layout(img.data(), img.size(), &info));
    EXPECT_EQ(0x400000u, info.sdram_size);
    EXPECT_EQ(len, info.flash_size);
    ASSERT_EQ(3u, info.entries.size());
    EXPECT_EQ(0x42, info.entries[0][0]);
    img[h + 8] = 65;
    EXPECT_EQ(-1, core.read_old_layout(img.data(), img.size(), &info));
    EXPECT_EQ("Too many blocks!", core.last_message());
    img[h + 8] = 3;
    img[h + 6] = 0x10;
    EXPECT_EQ(-1, core.read_old_layout(img.data(), img.size(), &info));
    EXPECT_EQ("Wrong bin file!", core.last_message());
    img[h + 6] = 0x08;
    tb::put32(img.data() + 8, len - 4);
    EXPECT_EQ(-1, core.read_old_layout(img.data(), img.size(), &info));
    EXPECT_FALSE(CTesselcore::image_length_ok(MiB + 1));
    EXPECT_TRUE(CTesselcore::image_length_ok(MiB));
}

// The layout in bytes, written out here by hand: the 12-byte marker, the
// entry-size byte 0x30 at header byte 26, entries from header byte 28; and
// where the rebuild puts a DMH it has to raise.
TEST(TesselRebuild, RaisedDmhLandsAtItsNewAbsoluteOffset)
{
    const uint32_t kLen = 0x80000;
    std::vector<uint8_t> img(kLen, 0xFF);
    auto dmh = [&](uint32_t at, uint8_t id, uint32_t offset, uint32_t size) {
        std::memcpy(img.data() + at, "*^_^*DM(^o^)", 12);
        std::memset(img.data() + at + 12, 0, 16);
        img[at + 16] = 0x00, img[at + 17] = 0x00, img[at + 18] = 0x00, img[at + 19] = 0x04;  // SDRAM 64 MiB
        img[at + 24] = 1;  // one entry
        img[at + 26] = 0x30;  // of 48 bytes
        uint8_t* e = img.data() + at + 28;
        std::memset(e, 0, 48);
        e[0] = id;
        e[4] = (uint8_t)offset, e[5] = (uint8_t)(offset >> 8), e[6] = (uint8_t)(offset >> 16);
        e[8] = (uint8_t)size, e[9] = (uint8_t)(size >> 8), e[10] = (uint8_t)(size >> 16);
        std::memcpy(e + 12, "NCRC", 4);
        std::memset(img.data() + at + offset, id, size);
    };
    dmh(0x00000, 0x10, 0x100, 0x100);
    dmh(0x20000, 0x20, 0x100, 0x100);
    dmh(0x40000, 0x30, 0x100, 0x80);

    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), kLen, &node.n));
    ASSERT_EQ(3, node.n.count);
    EXPECT_EQ(0x40000u, node.n.working[2].dmh_addr);
    EXPECT_EQ(0x04000000u, core.sdram_size());

    // Block 0x20 grows to end at 0x40100, past the third DMH at 0x40000.
    tb::ScratchDir dir;
    std::vector<uint8_t> grown(0x20000, 0xB2);
    tb::spit(dir.file("b.bin"), grown.data(), grown.size());
    ASSERT_EQ(0, core.load_block("", 0x20, dir.file("b.bin"))) << core.last_message();
    std::vector<uint8_t> out;
    ASSERT_EQ(0, core.rebuild_flash(img.data(), kLen, &out)) << core.last_message();

    // The third DMH now starts at 0x40100: its header, then its entry, whose
    // block begins 0x100 further on, at 0x40200.
    EXPECT_EQ(0, std::memcmp(out.data() + 0x40100, "*^_^*DM(^o^)", 12));
    EXPECT_EQ(0x30, out[0x40100 + 26]);
    EXPECT_EQ(0x30, out[0x4011C]) << "the entry's id, at header + 28";
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x00, 0x00}),
              std::vector<uint8_t>(out.begin() + 0x40120, out.begin() + 0x40124));
    EXPECT_EQ(0x30, out[0x40200]);
    EXPECT_EQ(0x30, out[0x4027F]);
    EXPECT_EQ(0xB2, out[0x400FF]) << "the grown block fills the space up to the raised DMH";
    // The second DMH stays where it was, its entry telling the new size.
    EXPECT_EQ(0, std::memcmp(out.data() + 0x20000, "*^_^*DM(^o^)", 12));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00, 0x02, 0x00}),
              std::vector<uint8_t>(out.begin() + 0x20024, out.begin() + 0x20028));
}
