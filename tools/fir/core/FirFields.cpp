#include "FirFields.h"

#include "ByteOrder.h"
#include "Tesselcore.h"

#include <algorithm>

namespace fir {

namespace {

const std::vector<std::string> kLists[] = {
    {"1642", "1635", "650D/650G"},
    {"0", "1", "2", "3", "4"},
    {"正序", "反序", "正序左移一位", "正序右移一位", "反序左移一位", "反序右移一位"},
    {"low", "high"},
    {"IO控制", "MCU控制"},
    {"slot", "matrix"},
    {"默认位置", "设置数码管位置"},
    {"CVBS+RGB", "Dual CVBS", "CVBS+YPbPr", "CVBS+S-Video", "Single CVBS"},
    {"OFF", "ON"},
    {"ON", "OFF"},
    {"Time", "Off", "None"},
    {"自动待机", "定时关机"},
    {"PAL", "NTSC", "AUTO"},
    {"576P", "720P", "1080i", "1080P"},
    {"480P", "720P", "1080i", "1080P"},
};

const std::vector<std::string> kDefaultLanguages = {"Chinese", "English",    "French",     "Russian", "Arabic",
                                                    "Farsi",   "Indonesian", "Portuguese", "Turkish"};
const std::vector<std::string> kExtraLanguages = {"German", "Italian", "Spanish", "Polish"};

constexpr int kNtsc = 1;
// NTSC positions 480P, 720P, 1080i, 1080P are stored as 0, 1, 3 and 4;
// PAL and AUTO store the position itself.
const uint32_t kNtscCodes[4] = {0, 1, 3, 4};

// A list position as stored: within the list, else the first entry.
int position(int stored, FirList list)
{
    return stored >= 0 && stored < static_cast<int>(list_entries(list).size()) ? stored : 0;
}

// A number field's text: false with its message when it is no number or
// does not fit `max`.
bool number_field(const std::string& text, long long max, const std::string& label, long long* v, FirResult* res)
{
    if (!tessel::parse_long(text, 10, v)) {
        *res = FirResult::Fail("The '" + label + "' value is not valid!");
        return false;
    }
    if (*v < 0 || *v > max) {
        *res = FirResult::Fail("The '" + label + "' value is out of range (0 to " + std::to_string(max) + ")!");
        return false;
    }
    return true;
}

void set_bit0(uint8_t& b, int v) { b = static_cast<uint8_t>((b & ~1u) | (v & 1)); }
void set_six_bits(uint8_t& b, long long v) { b = static_cast<uint8_t>((b & 0x03) | (v << 2)); }

FirResult store_digit_positions(const FrontPanelFields& f, uint8_t* cfg)
{
    const std::string& t = f.digit_positions;
    bool ok = static_cast<int>(t.size()) == f.com_num;
    for (char c : t)
        ok = ok && c >= '1' && c <= '4';
    if (!ok)
        return FirResult::Fail("The digit positions are not valid!",
                               "one digit from 1 to 4 for each of the " + std::to_string(f.com_num) + " digits");
    for (int i = 0; i < f.com_num; ++i)
        set_six_bits(cfg[16 + i], t[i] - '1');
    return FirResult::Ok();
}

bool is_dogwood(Platform p) { return p == Platform::Dogwood; }

}  // namespace

const std::vector<std::string>& list_entries(FirList list) { return kLists[static_cast<int>(list)]; }
const std::vector<std::string>& default_language_captions() { return kDefaultLanguages; }
const std::vector<std::string>& extra_language_captions() { return kExtraLanguages; }

std::string default_digit_positions(int com_num)
{
    return std::string("1234").substr(0, static_cast<size_t>(std::clamp(com_num, 0, 4)));
}

FirResult gather_front_panel(const FrontPanelFields& f, Platform p, uint8_t* cfg, const FrontPanelFields* was)
{
    auto changed = [&](auto member) { return !was || f.*member != was->*member; };
    const bool is1642 = f.fp_type == 0;
    if (changed(&FrontPanelFields::fp_type)) {
        cfg[0] = is1642 ? 0 : 1;
        cfg[4] = static_cast<uint8_t>((cfg[4] & 0x1F) | (is1642 ? 0x60 : 0));
        if (traits(p).panel_extras)
            cfg[6] = f.fp_type == 1 ? 4 : f.fp_type == 2 ? 8 : 1;
    }
    if (changed(&FrontPanelFields::scan_type))
        cfg[4] = static_cast<uint8_t>((cfg[4] & 0xF0) | (f.scan_type & 0x0F));
    if (changed(&FrontPanelFields::lbd_type))
        cfg[4] = static_cast<uint8_t>((cfg[4] & ~0x10u) | (f.lbd_type & 1) << 4);
    if (changed(&FrontPanelFields::com_num))
        cfg[5] = static_cast<uint8_t>((cfg[5] & 0xF0) | (f.com_num & 0x0F));
    const struct {
        int FrontPanelFields::*level;
        int byte;
    } levels[] = {{&FrontPanelFields::clock_level, 8},
                  {&FrontPanelFields::data_level, 9},
                  {&FrontPanelFields::scan0_level, 10},
                  {&FrontPanelFields::lock_lamp_level, 20},
                  {&FrontPanelFields::power_lamp_level, 21}};
    for (const auto& l : levels)
        if (changed(l.level))
            set_bit0(cfg[l.byte], f.*l.level);

    const struct {
        std::string FrontPanelFields::*text;
        const char* label;
        int byte;
    } positions[] = {
        {&FrontPanelFields::scan0_pos, "scan_0 pos", 10},     {&FrontPanelFields::clock_pos, "fclock pos", 8},
        {&FrontPanelFields::data_pos, "fdata pos", 9},        {&FrontPanelFields::lock_lamp_pos, "lbd_0 pos", 20},
        {&FrontPanelFields::power_lamp_pos, "lbd_1 pos", 21}, {&FrontPanelFields::colon_pos, "colon pos", 22},
    };
    for (const auto& ps : positions) {
        if (!changed(ps.text))
            continue;
        long long v = 0;
        FirResult res;
        if (!number_field(f.*ps.text, 63, ps.label, &v, &res))
            return res;
        set_six_bits(cfg[ps.byte], v);
    }
    if (traits(p).panel_extras && (changed(&FrontPanelFields::digit_positions) || changed(&FrontPanelFields::com_num)))
        return store_digit_positions(f, cfg);
    return FirResult::Ok();
}

FrontPanelFields fill_front_panel(const uint8_t* cfg, Platform p)
{
    FrontPanelFields f;
    if (cfg[0] != 0)
        f.fp_type = traits(p).panel_extras && cfg[6] == 8 ? 2 : 1;
    f.scan_type = position(cfg[4] & 0x0F, FirList::ScanType);
    f.lbd_type = cfg[4] >> 4 & 1;
    f.com_num = position(cfg[5] & 0x0F, FirList::ComNum);
    f.clock_level = cfg[8] & 1;
    f.data_level = cfg[9] & 1;
    f.scan0_level = cfg[10] & 1;
    f.lock_lamp_level = cfg[20] & 1;
    f.power_lamp_level = cfg[21] & 1;
    f.scan0_pos = std::to_string(cfg[10] >> 2);
    f.clock_pos = std::to_string(cfg[8] >> 2);
    f.data_pos = std::to_string(cfg[9] >> 2);
    f.lock_lamp_pos = std::to_string(cfg[20] >> 2);
    f.power_lamp_pos = std::to_string(cfg[21] >> 2);
    f.colon_pos = std::to_string(cfg[22] >> 2);
    if (traits(p).panel_extras) {
        for (int i = 0; i < f.com_num; ++i)
            f.digit_positions += static_cast<char>('1' + (cfg[16 + i] >> 2));
        f.digit_mode = f.digit_positions == default_digit_positions(f.com_num) ? 0 : 1;
    } else {
        f.digit_positions = default_digit_positions(f.com_num);
    }
    return f;
}

uint32_t resolution_code(int tv_system, int pos)
{
    pos = std::clamp(pos, 0, 3);
    return tv_system == kNtsc ? kNtscCodes[pos] : static_cast<uint32_t>(pos);
}

int resolution_position(int tv_system, uint32_t code)
{
    if (tv_system != kNtsc)
        return code <= 3 ? static_cast<int>(code) : 0;
    if (code == 2)  // an earlier table stored 720P under NTSC as 2
        return 1;
    for (int i = 0; i < 4; ++i)
        if (kNtscCodes[i] == code)
            return i;
    return 0;
}

uint8_t language_code(const std::string& name)
{
    for (size_t i = 0; i < kDefaultLanguages.size(); ++i)
        if (kDefaultLanguages[i] == name)
            return static_cast<uint8_t>(i);
    for (size_t i = 0; i < kExtraLanguages.size(); ++i)
        if (kExtraLanguages[i] == name)
            return static_cast<uint8_t>(kLanguageBoxes + i);
    return 0;
}

FirResult gather_hardware(const HardwareFields& f, Platform p, const std::vector<std::string>& captions, uint8_t* cfg,
                          const HardwareFields* was)
{
    using H = HardwareFields;
    auto changed = [&](auto member) { return !was || f.*member != was->*member; };
    const bool dg = is_dogwood(p);
    if (changed(&H::video_mode))
        kv::put_le32(cfg + 292, static_cast<uint32_t>(f.video_mode));
    if (changed(&H::spdif))
        kv::put_le32(cfg + 296, f.spdif ? 0 : 1);
    if (changed(&H::lnb_load))
        kv::put_le32(cfg + 300, f.lnb_load ? 0 : 1);
    if (changed(&H::scart))
        kv::put_le32(cfg + 304, f.scart ? 1 : 0);
    if (changed(&H::sog))
        kv::put_le32(cfg + 312, f.sog == 0 ? 1 : 0);
    if (changed(&H::power_off_disp))
        kv::put_le32(cfg + 320, static_cast<uint32_t>(f.power_off_disp));
    if (changed(&H::standby_mode))
        cfg[324] = static_cast<uint8_t>(f.standby_mode);
    const int boxes = dg ? kAllLanguageBoxes : kLanguageBoxes;
    for (int i = 0; i < boxes; ++i)
        if (!was || f.languages[i] != was->languages[i])
            cfg[325 + i] = static_cast<uint8_t>(f.languages[i]);
    if (changed(&H::loop_through))
        cfg[dg ? 339 : 335] = static_cast<uint8_t>(f.loop_through);
    if (changed(&H::biss))
        cfg[dg ? 466 : 462] = static_cast<uint8_t>(f.biss);
    if (dg) {
        if (changed(&H::lnb))
            cfg[467] = static_cast<uint8_t>(f.lnb);
        if (changed(&H::tv_system) || changed(&H::video_resolution))
            kv::put_le32(cfg + 468, resolution_code(f.tv_system, f.video_resolution));
        if (changed(&H::tv_system))
            kv::put_le32(cfg + 472, static_cast<uint32_t>(f.tv_system));
        if (changed(&H::tuner_clock_out))
            cfg[476] = static_cast<uint8_t>(f.tuner_clock_out);
    }

    const struct {
        std::string H::*text;
        const char* label;
        int at;
    } numbers[] = {{&H::tv_av, "TV/AV", 308}, {&H::tv_mode, "TV_MODE", 309}, {&H::tv_ratio, "TV Ratio", 310}};
    for (const auto& n : numbers) {
        if (!changed(n.text))
            continue;
        long long v = 0;
        FirResult res;
        if (!number_field(f.*n.text, 255, n.label, &v, &res))
            return res;
        cfg[n.at] = static_cast<uint8_t>(v);
    }

    if (f.default_language_list.empty() || !changed(&H::default_language))
        return FirResult::Ok();
    if (f.default_language.empty())
        return FirResult::Fail("Please set default language!");
    if (dg) {
        cfg[338] = language_code(f.default_language);
        return FirResult::Ok();
    }
    const int n = std::min<int>(kLanguageBoxes, static_cast<int>(captions.size()));
    const auto it = std::find(captions.begin(), captions.begin() + n, f.default_language);
    cfg[334] = it == captions.begin() + n ? 0 : static_cast<uint8_t>(it - captions.begin());
    return FirResult::Ok();
}

HardwareFields fill_hardware(const uint8_t* cfg, Platform p, const std::vector<std::string>& captions)
{
    const bool dg = is_dogwood(p);
    HardwareFields f;
    f.video_mode = position(static_cast<int>(kv::get_le32(cfg + 292)), FirList::VideoMode);
    f.spdif = kv::get_le32(cfg + 296) == 0;
    f.lnb_load = kv::get_le32(cfg + 300) == 0;
    f.scart = kv::get_le32(cfg + 304) == 1;
    f.tv_av = std::to_string(cfg[308]);
    f.tv_mode = std::to_string(cfg[309]);
    f.tv_ratio = std::to_string(cfg[310]);
    f.sog = kv::get_le32(cfg + 312) == 1 ? 0 : 1;
    f.power_off_disp = position(static_cast<int>(kv::get_le32(cfg + 320)), FirList::PowerOffDisp);
    f.standby_mode = position(cfg[324], FirList::StandbyMode);
    const int boxes = dg ? kAllLanguageBoxes : kLanguageBoxes;
    for (int i = 0; i < boxes; ++i) {
        const uint8_t s = cfg[325 + i];
        f.languages[i] = s == kLangChecked ? kLangChecked : s == kLangDisabled ? kLangDisabled : kLangUnchecked;
        if (s == kLangChecked && i < static_cast<int>(captions.size()))
            f.default_language_list.push_back(captions[i]);
    }
    f.loop_through = position(cfg[dg ? 339 : 335], FirList::OffOn);
    f.biss = position(cfg[dg ? 466 : 462], FirList::OffOn);
    if (dg) {
        f.lnb = position(cfg[467], FirList::OffOn);
        f.tv_system = position(static_cast<int>(kv::get_le32(cfg + 472)), FirList::TvSystem);
        f.video_resolution = resolution_position(f.tv_system, kv::get_le32(cfg + 468));
        f.tuner_clock_out = position(cfg[476], FirList::OffOn);
    }

    // The stored default language stays chosen when it is offered.
    std::string stored;
    if (dg) {
        for (const std::string& name : f.default_language_list)
            if (language_code(name) == cfg[338]) {
                stored = name;
                break;
            }
    } else if (cfg[334] < kLanguageBoxes && cfg[334] < captions.size()) {
        stored = captions[cfg[334]];
    }
    const auto& list = f.default_language_list;
    if (!stored.empty() && std::find(list.begin(), list.end(), stored) != list.end())
        f.default_language = stored;
    else if (!list.empty())
        f.default_language = list.front();
    return f;
}

}  // namespace fir
