// Stand-in STB-side files, the block list and the slave-info record.
#include "SimInternal.h"

#include "Text.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace stbsim {

namespace {

bool parse_num(const std::string& s, uint64_t* out)
{
    if (s.empty() || s[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

std::string trim(const std::string& s) { return kv::trimmed(s); }

}  // namespace

std::vector<uint8_t> make_standin(uint32_t kind, const std::string& text)
{
    std::vector<uint8_t> v(kStandinHeaderSize + text.size());
    std::memcpy(v.data(), "CVSI", 4);
    std::memcpy(v.data() + kStandinHeaderSize, text.data(), text.size());
    kv::put_le32(v.data() + 4, static_cast<uint32_t>(v.size()));
    kv::put_le32(v.data() + 8, kind);
    kv::put_le32(v.data() + 12, kv::crc32(v.data() + kStandinHeaderSize, text.size()));
    kv::put_le32(v.data() + 16, kStandinVersion);
    return v;
}

bool parse_standin_header(const uint8_t* data, size_t len, StandinHeader* out)
{
    if (len < kStandinHeaderSize || std::memcmp(data, "CVSI", 4) != 0)
        return false;
    StandinHeader h;
    h.length = kv::get_le32(data + 4);
    h.kind = kv::get_le32(data + 8);
    h.crc = kv::get_le32(data + 12);
    h.version = kv::get_le32(data + 16);
    if (h.version != kStandinVersion || h.length < kStandinHeaderSize)
        return false;
    *out = h;
    return true;
}

namespace {

const char* kDdrConf = "/ chip_ddrconf stand-in written by the Corvane virtual STB (stbsim --write-stb-files).\n"
                       "/ Not for a real box: these settings calibrate the simulated DDR of stbsim's default\n"
                       "/ configuration (widest passing range 2, clock delays 10 to 25, read-add 4).\n"
                       "#CONFIG_SETTING#\n"
                       "CALIBRATION_METHOD=1\n"
                       "SCAN_MODE=0\n"
                       "NO_CALIBRATION=0\n"
                       "DEVICE_SELECT=2\n"
                       "CLOCK_OFFSET=0\n"
                       "DELAY_90_OFFSET=0\n"
                       "DELAY_9090_OFFSET=0\n"
                       "DQS_IN_90_OFFSET=0\n"
                       "RDCLK_DLY_MAX=20\n"
                       "RANGE_SELECT=4\n"
                       "#INIT_REGS#\n"
                       "bfd70000=00000001\n"
                       "bfd70004=00000a21\n"
                       "sleep=a\n"
                       "bfd70008=00000003\n"
                       "#CONFIG_REGS#\n"
                       "bfd70010=00000001\n"
                       "bfd7000c=00000007\n";

struct FileDef {
    const char* name;
    uint32_t kind;
    const char* what;
};

const FileDef kFiles[] = {
    {"upgclient.bin", kKindUpgClient, "upgrade client, project type 0"},
    {"upgclient_alder.bin", kKindUpgClient, "upgrade client, project type 1 (Alder)"},
    {"upgclient_dg.bin", kKindUpgClient, "upgrade client, project types 2 and 3 (Dogwood)"},
    {"upgclient_elm.bin", kKindUpgClient, "upgrade client, project types 4 and 5 (Elm)"},
    {"upgclient_cedar.bin", kKindUpgClient, "upgrade client, project types 6 and 7 (Cedar)"},
    {"boot_init.img", kKindBootInitAlder, "boot-init image, project type 1 (Alder)"},
    {"btinit_ddr2_cedar.img", kKindBootInitCedar, "boot-init image, project type 6 (Cedar DDR2)"},
    {"btinit_ddr3_cedar.img", kKindBootInitCedar, "boot-init image, project type 7 (Cedar DDR3)"},
    {"ddr2_cache_cal.img", kKindCacheCal, "cache-calibration image, project type 4 (Elm DDR2)"},
    {"ddr3_cache_cal.img", kKindCacheCal, "cache-calibration image, project type 5 (Elm DDR3)"},
    {"shell.img", kKindShell, "shell program for flash dumps, project type 0"},
    {"SerialN_client_birch_common.bin", kKindBarcodeBirch, "bar-code client, Birch"},
    {"fir.bin", kKindPanelBase, "panel program of the front-panel tool, base platform"},
    {"fir_alder.bin", kKindPanelAlder, "panel program of the front-panel tool, Alder"},
    {"fir_dg.bin", kKindPanelDogwood, "panel program of the front-panel tool, Dogwood"},
};

bool write_file(const std::string& path, const void* data, size_t len, std::string* error)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(data, 1, len, f) == len;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        *error = "cannot write " + path;
    return ok;
}

}  // namespace

bool write_stb_files(const std::string& dir, std::vector<std::string>* written, std::string* error)
{
    std::string err;
    if (!error)
        error = &err;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) != 0) {
        *error = "cannot create folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (const FileDef& f : kFiles) {
        std::string text = std::string("Corvane virtual STB stand-in: ") + f.what +
                           ".\nThis is not a program for a real set-top box. It is loaded into the virtual STB "
                           "(stbsim), which plays the program's side of the serial exchange.\n";
        // The one-piece client download has the boot ROM take "# 0x01" or
        // "# 0x04" at the start for an instruction; keep the length clear of it.
        std::vector<uint8_t> img = make_standin(f.kind, text);
        if ((img.size() & 0xFFFF) == 0x0123 || (img.size() & 0xFFFF) == 0x0423)
            img = make_standin(f.kind, text + "\n");
        if (!write_file(dir + "/" + f.name, img.data(), img.size(), error))
            return false;
        if (written)
            written->push_back(f.name);
    }
    for (const char* name : {"chip_ddrconf_dogwood_400.txt", "chip_ddrconf_dogwood_333.txt"}) {
        if (!write_file(dir + "/" + name, kDdrConf, std::strlen(kDdrConf), error))
            return false;
        if (written)
            written->push_back(name);
    }
    const std::string fpga = fpga_ddrconf_text();
    if (!write_file(dir + "/" + kFpgaDdrconfName, fpga.data(), fpga.size(), error))
        return false;
    if (written)
        written->push_back(kFpgaDdrconfName);
    return true;
}

std::vector<BlockInfo> default_blocks(uint32_t flash_size) { return default_blocks(flash_size, -1); }

namespace {

// Which chip families hold a block kind: the key data on every box but
// Alder, SSDATA and the IR table on Alder only, the start logo from Dogwood
// on. -1 (no platform) keeps every kind.
bool family_holds(int platform, uint8_t id)
{
    if (platform < 0)
        return true;
    const bootlink::Family f = bootlink::platform(platform).family;
    switch (id) {
    case 0xAC: return f != bootlink::Family::Alder;
    case 0x98:
    case 0xAE: return f == bootlink::Family::Alder;
    case 0x93: return f != bootlink::Family::Base && f != bootlink::Family::Alder;
    default: return true;
    }
}

}  // namespace

std::vector<BlockInfo> default_blocks(uint32_t flash_size, int platform)
{
    static const BlockInfo layout[] = {
        {0x80, 0x000000, 0x040000, "bootloader"}, {0x88, 0x040000, 0x480000, "application"},
        {0x93, 0x4C0000, 0x040000, "start logo"}, {0x94, 0x500000, 0x040000, "back logo"},
        {0x95, 0x540000, 0x040000, "radio logo"}, {0x9C, 0x580000, 0x100000, "dbase"},
        {0x98, 0x680000, 0x080000, "ssdata"},     {0xAC, 0x700000, 0x040000, "key"},
        {0xAE, 0x740000, 0x040000, "ir"},
    };
    const uint64_t full = 8u << 20;
    std::vector<BlockInfo> out;
    for (const BlockInfo& b : layout) {
        BlockInfo c = b;
        if (flash_size < full) {
            c.offset = static_cast<uint32_t>(uint64_t(b.offset) * flash_size / full) & ~0xFFFu;
            c.size = static_cast<uint32_t>(uint64_t(b.size) * flash_size / full) & ~0xFFFu;
        }
        if (c.size == 0 || uint64_t(c.offset) + c.size > flash_size || !family_holds(platform, c.id))
            continue;
        out.push_back(c);
    }
    return out;
}

bool parse_blocks(const std::string& text, std::vector<BlockInfo>* out, std::string* error)
{
    std::vector<BlockInfo> list;
    std::string item;
    auto flush = [&]() -> bool {
        std::string t = trim(item);
        item.clear();
        if (t.empty() || t[0] == '#')
            return true;
        std::vector<std::string> f;
        size_t p = 0;
        for (int i = 0; i < 3; ++i) {
            size_t c = t.find(':', p);
            if (c == std::string::npos && i < 2) {
                *error = "block \"" + t + "\": expected ID:OFFSET:SIZE[:NAME]";
                return false;
            }
            f.push_back(trim(t.substr(p, c == std::string::npos ? std::string::npos : c - p)));
            p = c == std::string::npos ? t.size() : c + 1;
        }
        std::string name = p < t.size() ? trim(t.substr(p)) : std::string();
        uint64_t id, off, size;
        if (!parse_num(f[0], &id) || id > 0xFF || !parse_num(f[1], &off) || off > 0xFFFFFFFFu ||
            !parse_num(f[2], &size) || size == 0 || off + size > 0xFFFFFFFFu) {
            *error = "block \"" + t + "\": ID is a byte, OFFSET and SIZE 32-bit numbers, SIZE above 0";
            return false;
        }
        if (name.size() > 35)
            name.resize(35);
        list.push_back({static_cast<uint8_t>(id), static_cast<uint32_t>(off), static_cast<uint32_t>(size), name});
        return true;
    };
    for (char ch : text) {
        if (ch == ',' || ch == ';' || ch == '\n') {
            if (!flush())
                return false;
        } else {
            item += ch;
        }
    }
    if (!flush())
        return false;
    if (list.size() > 64) {
        *error = "at most 64 blocks fit in the slave info";
        return false;
    }
    *out = std::move(list);
    return true;
}

std::vector<uint8_t> slave_info_record(const std::vector<BlockInfo>& blocks, size_t entries)
{
    size_t n = blocks.size() > 64 ? 64 : blocks.size();
    if (entries > 0 && !blocks.empty())
        n = entries;  // an oversized record repeats the list
    std::vector<uint8_t> r(20 + 48 * n, 0);
    std::memcpy(r.data(), "CVSTB SLAVEINFO", 15);
    kv::put_le16(r.data() + 16, static_cast<uint16_t>(n));
    for (size_t i = 0; i < n; ++i) {
        const BlockInfo& b = blocks[i % blocks.size()];
        uint8_t* e = r.data() + 20 + 48 * i;
        e[0] = b.id;
        kv::put_le32(e + 4, b.offset);
        kv::put_le32(e + 8, b.size);
        std::memcpy(e + 12, b.name.data(), b.name.size() > 35 ? 35 : b.name.size());
    }
    return r;
}

bool gunzip(const std::vector<uint8_t>& in, size_t limit, std::vector<uint8_t>* out)
{
    out->clear();
    if (in.empty())
        return false;
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        size_t got = sizeof buf - zs.avail_out;
        if (out->size() + got > limit) {
            rc = Z_BUF_ERROR;
            break;
        }
        out->insert(out->end(), buf, buf + got);
        if (rc == Z_OK && got == 0 && zs.avail_in == 0) {
            rc = Z_BUF_ERROR;  // the stream breaks off
            break;
        }
    }
    bool ok = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    if (!ok)
        out->clear();
    return ok;
}

}  // namespace stbsim
