// The customer configuration of old-layout images: script, fields, Generate.
#include "OldImage.h"
#include "OldLayoutConfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace {

struct Scratch {
    std::string dir;
    Scratch()
    {
        char t[] = "/tmp/corvane-tsv-XXXXXX";
        dir = mkdtemp(t);
    }
    ~Scratch() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string file(const std::string& n) const { return dir + "/" + n; }
    std::string put(const std::string& n, const std::vector<uint8_t>& b) const
    {
        std::ofstream(file(n), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), (long)b.size());
        return file(n);
    }
    std::vector<uint8_t> get(const std::string& n) const
    {
        std::ifstream f(file(n), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
};

// Tail block first in the list: the reserved tail starts at 0x70000, and the
// marked block at 0x10000 is one of the blocks that move.
oi::Layout moving_layout()
{
    oi::Layout l;
    l.blocks.push_back({0x20, 1, 0x70000, oi::pattern(0x100, 1), "tail"});
    l.blocks.push_back({0x10, 0, 0x1000, oi::pattern(100, 2), "logo"});
    l.blocks.push_back({0x11, 0, 0x1064, oi::pattern(0x80, 3), "data"});
    l.blocks.push_back({0x12, 1, 0x10000, oi::pattern(0x200, 4), "aligned"});
    l.blocks.push_back({0x13, 0, 0x10200, oi::pattern(0x40, 5), "after", true});
    return l;
}

const char* kScript = "// customer settings\n"
                      "FLASH=512K\n"
                      "ID=0x30\n"
                      "EM=0\n"
                      "name=settings\n"
                      "OFFSET=4\n"
                      "##[volume][0][0][8],[mode][2][8][4][0][10][5],[label][1][16][48];\n"
                      "[flag][0][12][1]\n"
                      "##\n"
                      "ID=0x10\n"
                      "EM=1\n"
                      "name=logo\n"
                      "ID=0\n"
                      "EM=3\n"
                      "name=cfg\n"
                      "OFFSET=16\n"
                      "##[lang][0][0][8][Menu language]##\n";

oi::Layout settings_layout()
{
    oi::Layout l = moving_layout();
    std::vector<uint8_t> s(32, 0);
    s[4] = 40;  // volume
    s[5] = 0xF5;  // mode 5 in bits 0-3, flag in bit 4, the rest kept
    std::memcpy(s.data() + 6, "BOX", 3);
    l.blocks.push_back({0x30, 0, 0x20000, s, "settings"});
    return l;
}

}  // namespace

TEST(TesselOldScript, FlashSizeLine)
{
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    const std::string body = "ID=1\n##[a][0][0][8]\n";
    EXPECT_EQ(cfg.read_script_text("FLASH=512K\n" + body, 524288), 0);
    EXPECT_EQ(cfg.read_script_text("FLASH=512K\n" + body, 1048576), -1);
    EXPECT_EQ(cfg.last_message(), "Flash size mismatch!");
    EXPECT_EQ(cfg.items(), nullptr);
    EXPECT_EQ(cfg.read_script_text("FLASH=2M\n" + body, 2097152), 0);
    EXPECT_EQ(cfg.read_script_text("FLASH=1M\n" + body, 1048576), 0);
    EXPECT_EQ(cfg.read_script_text("FLASH = 1048576\n" + body, 1048576), 0);
    EXPECT_EQ(cfg.read_script_text("FLASH=4M\n" + body, 4194304), -1);
    EXPECT_EQ(cfg.read_script_text("FLASH 512K\n" + body, 524288), -1);
    EXPECT_EQ(cfg.last_message(), "Error line!");
}

TEST(TesselOldScript, ItemsFieldsAndChoices)
{
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    ASSERT_EQ(cfg.read_script_text(kScript, 0x80000), 0) << cfg.last_message();
    ASSERT_EQ(cfg.item_count(), 3u);
    KV_DYNAMIC_ITEM* s = cfg.items();
    EXPECT_EQ(s->id, 0x30);
    EXPECT_STREQ(s->name, "settings");
    EXPECT_EQ(s->offset, 4u);
    EXPECT_EQ(s->control_id, 0xFFFF);
    ASSERT_EQ(s->field_count, 4u);  // the definitions go on across lines until "##"
    KV_DYNAMIC_FIELD* mode = CTesselOldConfig::find_field(s, "mode");
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->type, 2);
    EXPECT_EQ(tessel::dynamic_field_choices(*mode), (std::vector<int32_t>{0, 5, 10}));
    EXPECT_TRUE(CTesselOldConfig::find_field(s, "flag"));
    KV_DYNAMIC_ITEM* cfgItem = cfg.find_item("cfg");
    ASSERT_TRUE(cfgItem);
    EXPECT_EQ(cfgItem->id, 0);
    EXPECT_EQ(cfgItem->em, 3);
    ASSERT_EQ(cfgItem->field_count, 1u);
    EXPECT_STREQ(cfgItem->fields->desc, "Menu language");
    EXPECT_EQ(cfg.find_item("logo")->field_count, 0u);

    // The list helpers find the heads from any member.
    KV_DYNAMIC_ITEM* last = s;
    while (last->next)
        last = last->next;
    EXPECT_EQ(GetDynamicItemHeader(last), s);
    KV_DYNAMIC_FIELD* lf = s->fields;
    while (lf->next)
        lf = lf->next;
    EXPECT_EQ(GetDynamicFieldHeader(lf), s->fields);
    cfg.FreeDynamicItem();
    EXPECT_EQ(cfg.items(), nullptr);
    EXPECT_EQ(cfg.item_count(), 0u);

    // Octal and decimal ids.
    ASSERT_EQ(cfg.read_script_text("ID=010\n##[a][0][0][8]\nID=12\n", 0x80000), 0);
    EXPECT_EQ(cfg.items()->id, 8);
    EXPECT_EQ(cfg.items()->next->id, 12);
}

TEST(TesselOldScript, ErrorsNameTheMissingPiece)
{
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"ID 3\n", "Error line!"},
        {"EM=1\n", "Error line!"},  // no item yet
        {"ID=1\n##[a]\n", "Field type data error!"},
        {"ID=1\n##[a][0]\n", "Field offset data error!"},
        {"ID=1\n##[a][0][4]\n", "Field length data error!"},
        {"ID=1\n##[a][0][4][x]\n", "Field length data error!"},
        {"ID=1\n##[a][0][0][40]\n", "Field length data error!"},  // a number has 32 bits
        {"ID=1\nEM=3\n##[a][0][4][4]\n", "Field desc data error!"},
        {"ID=1\n##[a][2][0][4][0][10]\n", "Field type data error!"},
        {"ID=1\n##[a][2][0][4][0][10][0]\n", "Field type data error!"},  // step 0 never ends
        {"ID=1\n##[a][2][0][4][10][0][1]\n", "Field type data error!"},  // nor a range that runs away
        {"// nothing\n", "Script file has no valid block information!"},
        {"ID=1\nEM=1\nID=2\n##[a][0][0][8]\n", "Select the wrong config file,try again pls.!"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cfg.read_script_text(c.text, 0x80000), -1) << c.text;
        EXPECT_EQ(cfg.last_message(), c.message) << c.text;
        EXPECT_EQ(cfg.items(), nullptr);
        EXPECT_EQ(cfg.item_count(), 0u);
    }

    std::string many = "ID=1\n##";
    for (int i = 0; i < 100; ++i)
        many += "[f" + std::to_string(i) + "][0][" + std::to_string(i) + "][1],";
    EXPECT_EQ(cfg.read_script_text(many + "\n", 0x80000), 0);
    EXPECT_EQ(cfg.items()->field_count, 100u);
    EXPECT_EQ(cfg.read_script_text(many + "[x][0][0][1]\n", 0x80000), -1);
    EXPECT_EQ(cfg.last_message(), "Too many dynamic fields!");

    Scratch d;
    EXPECT_EQ(cfg.read_script("", 0x80000), -1);
    EXPECT_EQ(cfg.last_message(), "Please select script file!");
    EXPECT_EQ(cfg.read_script(d.dir, 0x80000), -1);  // an image without a version names its folder
    EXPECT_EQ(cfg.last_message(), "Please put the correct script file in the same directory as the flash binary!");
    EXPECT_EQ(cfg.read_script(d.file("V1.2.3"), 0x80000), -1);
    EXPECT_EQ(cfg.last_message(), "Please put the correct script file in the same directory as the flash binary!");
}

TEST(TesselOldFields, ReadWriteKeepOtherBitsAndTheCrc)
{
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l = settings_layout();
    auto img = oi::build(l);
    ASSERT_EQ(cfg.read_script_text(kScript, img.size()), 0);
    KV_DYNAMIC_ITEM* s = cfg.items();
    auto* volume = CTesselOldConfig::find_field(s, "volume");
    auto* mode = CTesselOldConfig::find_field(s, "mode");
    auto* label = CTesselOldConfig::find_field(s, "label");
    auto* flag = CTesselOldConfig::find_field(s, "flag");
    tessel::old_field_value_t v;
    ASSERT_EQ(cfg.read_field(s, volume, img.data(), img.size(), &v), 0);
    EXPECT_EQ(v.value, 40u);
    ASSERT_EQ(cfg.read_field(s, mode, img.data(), img.size(), &v), 0);
    EXPECT_EQ(v.value, 5u);
    EXPECT_EQ(v.choice, 1);
    ASSERT_EQ(cfg.read_field(s, label, img.data(), img.size(), &v), 0);
    EXPECT_EQ(v.text, "BOX");
    ASSERT_EQ(cfg.read_field(s, flag, img.data(), img.size(), &v), 0);
    EXPECT_EQ(v.value, 1u);

    ASSERT_EQ(cfg.set_field_from_text(s, mode, "10", img.data(), img.size()), 0);
    EXPECT_EQ(img[0x20005], 0xFA);  // bits 4-7 kept
    EXPECT_EQ(cfg.set_field_from_text(s, mode, "7", img.data(), img.size()), -1);
    EXPECT_EQ(cfg.last_message(), "ERROR!! [mode]'s value is out of range,please check it!");
    EXPECT_EQ(cfg.set_field_from_text(s, volume, "256", img.data(), img.size()), -1);
    EXPECT_EQ(img[0x20004], 40);
    ASSERT_EQ(cfg.set_field_from_text(s, volume, "010", img.data(), img.size()), 0);  // decimal, not octal
    EXPECT_EQ(img[0x20004], 10);
    ASSERT_EQ(cfg.set_field_from_text(s, volume, "0x28", img.data(), img.size()), 0);
    EXPECT_EQ(img[0x20004], 40);
    EXPECT_EQ(cfg.set_field_from_text(s, volume, "-1", img.data(), img.size()), -1);
    EXPECT_EQ(cfg.set_field_from_text(s, volume, "0x-1", img.data(), img.size()), -1);
    ASSERT_EQ(cfg.set_field_from_text(s, label, "STB-9", img.data(), img.size()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(img.data() + 0x20006), 5), "STB-9");
    EXPECT_EQ(img[0x2000B], 0);  // the rest of the field is cleared
    EXPECT_EQ(cfg.set_field_from_text(s, label, "TOO-LONG", img.data(), img.size()), -1);
    EXPECT_EQ(cfg.last_message(), "String too long!");

    // Texts are bytes of the box's code page: "Grüße" is five bytes in
    // Windows-1252 and fits; erased bytes show as what they are and give
    // their every byte back; Chinese needs GBK.
    core.set_code_page(kv::CodePage("WINDOWS-1252"));
    ASSERT_EQ(cfg.set_field_from_text(s, label, "Grüße", img.data(), img.size()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(img.data() + 0x20006), 6), std::string("Gr\xFC\xDF"
                                                                                         "e\0",
                                                                                         6));
    std::memset(img.data() + 0x20006, 0xFF, 6);
    ASSERT_EQ(cfg.read_field(s, label, img.data(), img.size(), &v), 0);
    EXPECT_EQ(cfg.screen_text(v), "ÿÿÿÿÿÿ");
    EXPECT_EQ(v.bytes, std::string(6, '\xFF'));
    EXPECT_EQ(cfg.set_field_from_text(s, label, "中文", img.data(), img.size()), -1);
    EXPECT_EQ(cfg.last_message(), "ERROR!! [label] holds \"中\", which the box's code page WINDOWS-1252 cannot hold!");
    EXPECT_EQ(img[0x20006], 0xFF);
    core.set_code_page(kv::CodePage("GBK"));
    ASSERT_EQ(cfg.set_field_from_text(s, label, "中文", img.data(), img.size()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(img.data() + 0x20006), 5), std::string("\xD6\xD0\xCE\xC4\0", 5));
    ASSERT_EQ(cfg.read_field(s, label, img.data(), img.size(), &v), 0);
    EXPECT_EQ(cfg.screen_text(v), "中文");

    // The CRC follows the block unless the entry says NCRC.
    uint8_t* e = oi::entry(img, l, 5);
    ASSERT_EQ(cfg.update_crc(s, img.data(), img.size()), 0);
    EXPECT_EQ(tessel::rd32(e + 12), kv::crc32(img.data() + 0x20000, 32));
    std::memcpy(e + 12, "NCRC", 4);
    ASSERT_EQ(cfg.update_crc(s, img.data(), img.size()), 0);
    EXPECT_EQ(std::memcmp(e + 12, "NCRC", 4), 0);

    // Configuration-area items sit at the area's offset.
    KV_DYNAMIC_ITEM* area = cfg.find_item("cfg");
    ASSERT_EQ(cfg.set_field_from_text(area, area->fields, "3", img.data(), img.size()), 0);
    EXPECT_EQ(img[l.cfg_offset + 16], 3);

    // A field whose bits leave the block is refused, not read past it.
    ASSERT_EQ(cfg.read_script_text("ID=0x30\nOFFSET=30\n##[far][0][8][16]\n", img.size()), 0);
    EXPECT_EQ(cfg.read_field(cfg.items(), cfg.items()->fields, img.data(), img.size(), &v), -1);
    ASSERT_EQ(cfg.read_script_text("ID=0x55\n##[x][0][0][8]\n", img.size()), 0);
    EXPECT_EQ(cfg.read_field(cfg.items(), cfg.items()->fields, img.data(), img.size(), &v), -1);
    EXPECT_EQ(cfg.last_message(), "Error block_id! No match block found!");
}

TEST(TesselOldGenerate, LargerBlockMovesTheFollowingBlocksWithTheirAlignment)
{
    Scratch d;
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l = moving_layout();
    auto img = oi::build(l);
    const auto before = img;
    ASSERT_EQ(cfg.read_script_text("ID=0x30\n##[a][0][0][8]\nID=0x10\nEM=1\nname=logo\n", img.size()), 0);
    auto logo = oi::pattern(150, 9);
    tessel::old_generate_t req;
    req.output = d.file("out.bin");
    req.files.emplace_back(cfg.find_item("logo"), d.put("logo.bin", logo));
    ASSERT_EQ(cfg.generate(req, &img), 0) << cfg.last_message();
    EXPECT_EQ(cfg.last_message(), "Create new bin successfully!");
    EXPECT_EQ(d.get("out.bin"), img);

    auto at = [&](size_t k) { return tessel::rd32(oi::entry(img, l, k) + 4); };
    auto size = [&](size_t k) { return tessel::rd32(oi::entry(img, l, k) + 8); };
    EXPECT_EQ(size(1), 150u);
    EXPECT_EQ(tessel::rd32(oi::entry(img, l, 1) + 12), kv::crc32(logo.data(), logo.size()));
    EXPECT_EQ(0, std::memcmp(img.data() + 0x1000, logo.data(), 150));
    EXPECT_EQ(at(2), 0x1064u + 50);  // up by 50 bytes
    EXPECT_EQ(0, std::memcmp(img.data() + at(2), l.blocks[2].data.data(), 0x80));
    EXPECT_EQ(at(3), 0x10000u);  // marked: on 64 KiB
    EXPECT_EQ(0, std::memcmp(img.data() + at(3), l.blocks[3].data.data(), 0x200));
    EXPECT_EQ(at(4), 0x10200u);  // follows the aligned block
    EXPECT_EQ(0, std::memcmp(img.data() + at(4), l.blocks[4].data.data(), 0x40));
    EXPECT_EQ(0, std::memcmp(oi::entry(img, l, 4) + 12, "NCRC", 4));
    EXPECT_EQ(at(0), 0x70000u);  // the reserved tail stays
    EXPECT_EQ(0, std::memcmp(img.data() + 0x70000, before.data() + 0x70000, 0x10000));

    // A block so large that the marked block has to go to the next 64 KiB.
    img = before;
    auto big = oi::pattern(0xF000, 7);
    req.files[0].second = d.put("big.bin", big);
    ASSERT_EQ(cfg.generate(req, &img), 0) << cfg.last_message();
    EXPECT_EQ(at(2), 0x10000u);
    EXPECT_EQ(at(3), 0x20000u);
    EXPECT_EQ(0, std::memcmp(img.data() + 0x20000, l.blocks[3].data.data(), 0x200));
    EXPECT_EQ(at(4), 0x20200u);

    // One that pushes a block into the reserved tail changes nothing.
    img = before;
    req.files[0].second = d.put("huge.bin", oi::pattern(0x6F000, 3));
    std::remove(req.output.c_str());
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Error: input file size is too big!");
    EXPECT_EQ(img, before);
    EXPECT_TRUE(d.get("out.bin").empty());

    req.files[0].second = d.put("toobig.bin", std::vector<uint8_t>((2u << 20) + 1));
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Error: input file size is too big!");
    req.files[0].second = d.file("missing.bin");
    EXPECT_EQ(cfg.generate(req, &img), -1);
    req.output.clear();
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Please select output file!");
}

TEST(TesselOldGenerate, ConfigurationAreaItemsAndTheirOverflowChecks)
{
    Scratch d;
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l;  // header 0x100, area 0x400..0x800, first block at 0x1000
    l.cfg_offset = 0x200;
    l.blocks.push_back({0x10, 0, 0x1000, oi::pattern(0x20, 1), "logo"});
    auto img = oi::build(l);
    ASSERT_EQ(cfg.read_script_text("ID=0x10\n##[a][0][0][8]\n"
                                   "ID=0\nEM=1\nname=first\nOFFSET=0\n"
                                   "ID=0\nEM=1\nname=second\nOFFSET=32\n"
                                   "ID=0\nEM=1\nname=third\nOFFSET=256\n"
                                   "ID=0x10\nEM=0\nname=next\n##[b][0][0][8]\n"
                                   "ID=0\nEM=1\nname=last\nOFFSET=3600\n",
                                   img.size()),
              0)
        << cfg.last_message();
    tessel::old_generate_t req;
    req.output = d.file("out.bin");
    const auto before = img;

    req.files = {{cfg.find_item("first"), d.put("a", oi::pattern(33, 1))}};
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Overflow Error 0!\nCurrent block_id = 0, file data overflow next block_id = 0!");
    req.files = {{cfg.find_item("first"), d.put("a", oi::pattern(32, 1))}};
    ASSERT_EQ(cfg.generate(req, &img), 0);
    EXPECT_EQ(0, std::memcmp(img.data() + 0x200, oi::pattern(32, 1).data(), 32));

    // Followed by a block item: past the block header only a warning.
    req.files = {{cfg.find_item("third"), d.put("b", oi::pattern(0x100, 2))}};
    ASSERT_EQ(cfg.generate(req, &img), 0);
    ASSERT_EQ(cfg.warnings().size(), 1u);
    EXPECT_EQ(cfg.warnings()[0],
              "Overflow Error 1!\n Current block_id = 0, overwrite the next bank-flash_header_info.");

    img = before;
    req.files = {{cfg.find_item("last"), d.put("c", oi::pattern(0x20, 3))}};  // 0x200 + 3600 + 32 > 0x1000
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Overflow Error 2!\nCurrent block_id = 0, file data overflow next block_id > 0!");
    EXPECT_EQ(img, before);
}

TEST(TesselOldGenerate, ImportsKeysAndExpertByte)
{
    Scratch d;
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l = settings_layout();
    auto img = oi::build(l);
    ASSERT_EQ(cfg.read_script_text(kScript, img.size()), 0);
    tessel::old_generate_t req;
    req.output = d.file("out.bin");

    req.configs = d.put("cfg.bin", oi::pattern(l.cfg_size - 1, 1));
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Wrong customer config file!");
    auto area = oi::pattern(l.cfg_size, 5);
    req.configs = d.put("cfg.bin", area);
    ASSERT_EQ(cfg.generate(req, &img), 0);
    EXPECT_EQ(0, std::memcmp(img.data() + l.cfg_offset, area.data(), area.size()));
    req.configs.clear();

    const auto before = img;
    req.abs_key = d.put("k199.pub", oi::pattern(199, 1));
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Wrong abs private key file!");
    req.abs_key = d.put("k100.pub", oi::pattern(100, 1));  // too short for 128 key bytes
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(img, before);
    auto key = oi::pattern(198, 4);
    req.abs_key = d.put("k198.pub", key);
    ASSERT_EQ(cfg.generate(req, &img), 0);
    EXPECT_EQ(img[l.cfg_offset + 628], 0x80);
    EXPECT_EQ(img[l.cfg_offset + 629], 0x00);
    EXPECT_EQ(0, std::memcmp(img.data() + l.cfg_offset + 630, key.data() + 5, 128));
    req.abs_key.clear();

    req.expert = true;
    req.flash_address = "80000";
    req.byte_value = "5A";
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Please set a valid flash address!");
    req.flash_address = "7FFFF";
    ASSERT_EQ(cfg.generate(req, &img), 0);
    EXPECT_EQ(img[0x7FFFF], 0x5A);

    req.output = d.file("no/such/dir/out.bin");
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Can't open output file!");
}

TEST(TesselOldGenerate, HardwareInfoFileFillsTheBlock)
{
    Scratch d;
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l = moving_layout();
    l.blocks[4].data = std::vector<uint8_t>(240, 0);
    auto img = oi::build(l);
    ASSERT_EQ(cfg.read_script_text("ID=0x10\n##[a][0][0][8]\nID=0x13\nEM=2\nname=panel\n", img.size()), 0);
    std::string hw = "panel starts\n01,02,03,\n##\nled starts\n'a',3f},\n##\n";
    tessel::old_generate_t req;
    req.output = d.file("out.bin");
    req.files = {{cfg.find_item("panel"), d.put("hw.txt", std::vector<uint8_t>(hw.begin(), hw.end()))}};
    ASSERT_EQ(cfg.generate(req, &img), 0) << cfg.last_message();
    const uint8_t* p = img.data() + 0x10200;
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(p[2], 1);
    EXPECT_EQ(p[4], 3);
    EXPECT_EQ(p[40], 1);  // one LED pair
    EXPECT_EQ(p[42], 'a');
    EXPECT_EQ(p[43], 0x3F);

    std::string bad = "panel starts\n";
    for (int i = 0; i < 40; ++i)
        bad += "1,";
    bad += "\n##\n";
    req.files = {{cfg.find_item("panel"), d.put("bad.txt", std::vector<uint8_t>(bad.begin(), bad.end()))}};
    EXPECT_EQ(cfg.generate(req, &img), -1);
    EXPECT_EQ(cfg.last_message(), "Parse hw info file failed");
}

// Mangled scripts and images: every answer is a result and a message, never a
// read outside the image (the sanitizer build watches).
TEST(TesselOldRobustness, MangledScriptsAndImages)
{
    Scratch d;
    CTesselcore core;
    CTesselOldConfig cfg(&core);
    oi::Layout l = settings_layout();
    const auto pristine = oi::build(l);
    const std::string base = kScript;
    uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8); };
    const char alphabet[] = "[]##;=0123456789xID\nEMnameOFFSET, -";
    for (int round = 0; round < 400; ++round) {
        std::string s = base;
        for (int k = 0; k < 4; ++k)
            s[rnd() % s.size()] = alphabet[rnd() % (sizeof alphabet - 1)];
        auto img = pristine;
        for (int k = 0; k < 3; ++k)
            img[l.header_pos + rnd() % (12 + 48 * l.blocks.size())] = (uint8_t)rnd();
        if (cfg.read_script_text(s, img.size()) != 0) {
            EXPECT_FALSE(cfg.last_message().empty());
            continue;
        }
        for (KV_DYNAMIC_ITEM* it = cfg.items(); it; it = it->next)
            for (KV_DYNAMIC_FIELD* f = it->fields; f; f = f->next) {
                tessel::old_field_value_t v;
                if (cfg.read_field(it, f, img.data(), img.size(), &v) == 0)
                    cfg.set_field_from_text(it, f, f->type == 0 || f->type == 2 ? "5" : "ab", img.data(), img.size());
                cfg.update_crc(it, img.data(), img.size());
            }
        tessel::old_generate_t req;
        req.output = d.file("out.bin");
        if (KV_DYNAMIC_ITEM* logo = cfg.find_item("logo"))
            req.files.emplace_back(logo, d.put("logo.bin", oi::pattern(1 + rnd() % 300, 1)));
        cfg.generate(req, &img);
        EXPECT_EQ(img.size(), pristine.size());
    }
}
