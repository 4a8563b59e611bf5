#include "FirNamedFields.h"

#include "Tesselcore.h"

#include <algorithm>

namespace fir {

namespace {

struct Pages {
    FrontPanelFields fp;
    HardwareFields hw;
};

enum class Avail { All, Extras, Dogwood };

struct Def {
    const char* name;
    bool front;
    Avail avail;
    FieldValue::Kind kind;
    FirList list;  // for list fields
    int& (*as_int)(Pages&);  // list fields
    std::string& (*as_text)(Pages&);  // number and text fields
    bool& (*as_bool)(Pages&);  // check boxes
};

#define FIR_LIST(n, front, av, lst, m)                                                                                 \
    {                                                                                                                  \
        n, front, av, FieldValue::Text, FirList::lst, [](Pages& g) -> int& { return g.m; }, nullptr, nullptr           \
    }
#define FIR_NUM(n, front, m)                                                                                           \
    {                                                                                                                  \
        n, front, Avail::All, FieldValue::Number, FirList::Level, nullptr,                                             \
            [](Pages& g) -> std::string& { return g.m; }, nullptr                                                      \
    }
#define FIR_BOOL(n, m)                                                                                                 \
    {                                                                                                                  \
        n, false, Avail::All, FieldValue::Bool, FirList::Level, nullptr, nullptr,                                      \
            [](Pages& g) -> bool& { return g.m; }                                                                      \
    }

const Def kDefs[] = {
    FIR_LIST("fp_type", true, Avail::All, FpType, fp.fp_type),
    FIR_LIST("com_num", true, Avail::All, ComNum, fp.com_num),
    FIR_NUM("colon_pos", true, fp.colon_pos),
    FIR_LIST("clock_level", true, Avail::All, Level, fp.clock_level),
    FIR_NUM("clock_pos", true, fp.clock_pos),
    FIR_LIST("data_level", true, Avail::All, Level, fp.data_level),
    FIR_NUM("data_pos", true, fp.data_pos),
    FIR_LIST("lbd_type", true, Avail::All, LbdType, fp.lbd_type),
    FIR_NUM("lock_lamp_pos", true, fp.lock_lamp_pos),
    FIR_LIST("lock_lamp_level", true, Avail::All, Level, fp.lock_lamp_level),
    FIR_NUM("power_lamp_pos", true, fp.power_lamp_pos),
    FIR_LIST("power_lamp_level", true, Avail::All, Level, fp.power_lamp_level),
    FIR_LIST("scan_type", true, Avail::All, ScanType, fp.scan_type),
    FIR_NUM("scan0_pos", true, fp.scan0_pos),
    FIR_LIST("scan0_level", true, Avail::All, Level, fp.scan0_level),
    {"digit_positions", true, Avail::Extras, FieldValue::Text, FirList::Level, nullptr,
     [](Pages& g) -> std::string& { return g.fp.digit_positions; }, nullptr},
    FIR_LIST("video_mode", false, Avail::All, VideoMode, hw.video_mode),
    FIR_BOOL("spdif", hw.spdif),
    FIR_BOOL("lnb_load", hw.lnb_load),
    FIR_BOOL("scart", hw.scart),
    FIR_NUM("tv_av", false, hw.tv_av),
    FIR_NUM("tv_mode", false, hw.tv_mode),
    FIR_NUM("tv_ratio", false, hw.tv_ratio),
    FIR_LIST("sog", false, Avail::All, Sog, hw.sog),
    FIR_LIST("power_off_disp", false, Avail::All, PowerOffDisp, hw.power_off_disp),
    FIR_LIST("standby_mode", false, Avail::All, StandbyMode, hw.standby_mode),
    {"default_language", false, Avail::All, FieldValue::Text, FirList::Level, nullptr,
     [](Pages& g) -> std::string& { return g.hw.default_language; }, nullptr},
    FIR_LIST("loop_through", false, Avail::All, OffOn, hw.loop_through),
    FIR_LIST("biss_enable", false, Avail::All, OffOn, hw.biss),
    FIR_LIST("lnb", false, Avail::Dogwood, OffOn, hw.lnb),
    FIR_LIST("tv_system", false, Avail::Dogwood, TvSystem, hw.tv_system),
    FIR_LIST("video_resolution", false, Avail::Dogwood, Resolution625, hw.video_resolution),
    FIR_LIST("tuner_clock_out", false, Avail::Dogwood, OffOn, hw.tuner_clock_out),
};

#undef FIR_LIST
#undef FIR_NUM
#undef FIR_BOOL

const char* const kLanguagePrefix = "language.";
const char* const kStates[] = {"unchecked", "checked", "disabled"};

bool available(const Def& d, Platform p)
{
    return d.avail == Avail::All || (d.avail == Avail::Extras && traits(p).panel_extras) ||
           (d.avail == Avail::Dogwood && p == Platform::Dogwood);
}

int language_boxes(Platform p) { return p == Platform::Dogwood ? kAllLanguageBoxes : kLanguageBoxes; }

FirList list_of(const Def& d, const Pages& g)
{
    if (d.list == FirList::Resolution625 && g.hw.tv_system == 1)
        return FirList::Resolution525;
    return d.list;
}

Pages fill(const CPanelRecord& rec, Platform p, const std::vector<std::string>& captions)
{
    return {fill_front_panel(rec.config(), p), fill_hardware(rec.config(), p, captions)};
}

bool set_list(int* slot, FirList list, const std::string& value)
{
    const auto& entries = list_entries(list);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == value) {
            *slot = static_cast<int>(i);
            return true;
        }
    long long v = 0;
    if (!tessel::parse_long(value, 10, &v) || v < 0 || v >= static_cast<long long>(entries.size()))
        return false;
    *slot = static_cast<int>(v);
    return true;
}

bool set_bool(bool* slot, const std::string& value)
{
    if (value == "true" || value == "1" || value == "checked")
        *slot = true;
    else if (value == "false" || value == "0" || value == "unchecked")
        *slot = false;
    else
        return false;
    return true;
}

// The default-language list follows the checked boxes; the choice stays if
// it is still offered.
void offer_languages(HardwareFields* hw, Platform p, const std::vector<std::string>& captions)
{
    hw->default_language_list.clear();
    for (int i = 0; i < language_boxes(p) && i < static_cast<int>(captions.size()); ++i)
        if (hw->languages[i] == kLangChecked)
            hw->default_language_list.push_back(captions[i]);
    const auto& list = hw->default_language_list;
    if (std::find(list.begin(), list.end(), hw->default_language) == list.end())
        hw->default_language = list.empty() ? std::string() : list.front();
}

// Sets a language box; `was` marks it as changed.
FirResult set_language(Pages* g, Pages* was, Platform p, const std::vector<std::string>& captions,
                       const std::string& which, const std::string& value)
{
    int box = -1;
    for (int i = 0; i < language_boxes(p) && i < static_cast<int>(captions.size()); ++i)
        if (captions[i] == which || std::to_string(i + 1) == which)
            box = i;
    if (box < 0)
        return FirResult::Fail("Unknown field: " + std::string(kLanguagePrefix) + which);
    int state = -1;
    for (int s = 0; s < 3; ++s)
        if (value == kStates[s] || value == std::to_string(s))
            state = s;
    if (state < 0)
        return FirResult::Fail("A language box takes checked, unchecked or disabled, not \"" + value + "\"");
    g->hw.languages[box] = state;
    was->hw.languages[box] = -1;
    offer_languages(&g->hw, p, captions);
    return FirResult::Ok();
}

FirResult set_field(Pages* g, const Def& d, const std::string& value)
{
    bool ok = true;
    if (d.as_int)
        ok = set_list(&d.as_int(*g), list_of(d, *g), value);
    else if (d.as_bool)
        ok = set_bool(&d.as_bool(*g), value);
    else
        d.as_text(*g) = value;
    if (!ok)
        return FirResult::Fail("The field " + std::string(d.name) + " does not take \"" + value + "\"");
    const std::string name = d.name;
    if (name == "com_num" && g->fp.digit_mode == 0)
        g->fp.digit_positions = default_digit_positions(g->fp.com_num);
    if (name == "digit_positions")
        g->fp.digit_mode = value == default_digit_positions(g->fp.com_num) ? 0 : 1;
    if (name == "default_language") {
        const auto& list = g->hw.default_language_list;
        if (std::find(list.begin(), list.end(), value) == list.end())
            return FirResult::Fail("The default language must be a checked language, not \"" + value + "\"");
    }
    return FirResult::Ok();
}

// Makes the field of `d` differ in `was` from its value in `g`.
void mark_changed(const Def& d, Pages& g, Pages* was)
{
    if (d.as_int)
        d.as_int(*was) = d.as_int(g) + 1;
    else if (d.as_bool)
        d.as_bool(*was) = !d.as_bool(g);
    else
        d.as_text(*was) = d.as_text(g) + '\x01';
}

}  // namespace

std::vector<FieldValue> describe_fields(const CPanelRecord& rec, Platform p, bool front,
                                        const std::vector<std::string>& captions)
{
    Pages g = fill(rec, p, captions);
    std::vector<FieldValue> out;
    for (const Def& d : kDefs) {
        if (d.front != front || !available(d, p))
            continue;
        if (std::string(d.name) == "default_language")
            for (int i = 0; i < language_boxes(p) && i < static_cast<int>(captions.size()); ++i)
                out.push_back({kLanguagePrefix + captions[i], kStates[g.hw.languages[i]], FieldValue::Text});
        FieldValue v{d.name, {}, d.kind};
        if (d.as_int) {
            const auto& entries = list_entries(list_of(d, g));
            v.value = entries[std::clamp<size_t>(d.as_int(g), 0, entries.size() - 1)];
        } else if (d.as_bool) {
            v.value = d.as_bool(g) ? "true" : "false";
        } else {
            v.value = d.as_text(g);
        }
        out.push_back(std::move(v));
    }
    return out;
}

std::vector<std::string> field_names(Platform p, const std::vector<std::string>& captions)
{
    std::vector<std::string> names;
    for (const Def& d : kDefs)
        if (available(d, p))
            names.push_back(d.name);
    for (int i = 0; i < language_boxes(p) && i < static_cast<int>(captions.size()); ++i)
        names.push_back(kLanguagePrefix + captions[i]);
    return names;
}

FirResult set_named_field(CPanelRecord* rec, Platform p, const std::vector<std::string>& captions,
                          const std::string& name, const std::string& value)
{
    Pages g = fill(*rec, p, captions);
    // Only the field set (and what follows from it) is stored; the field
    // itself always, even when the page shows its value already.
    Pages was = g;
    const Def* def = nullptr;
    for (const Def& d : kDefs)
        if (name == d.name && available(d, p))
            def = &d;
    FirResult res;
    if (name.rfind(kLanguagePrefix, 0) == 0) {
        res = set_language(&g, &was, p, captions, name.substr(std::string(kLanguagePrefix).size()), value);
    } else if (def) {
        res = set_field(&g, *def, value);
        mark_changed(*def, g, &was);
    } else {
        res = FirResult::Fail("Unknown field: " + name);
    }
    if (!res.ok)
        return res;
    if (def && def->front)
        return gather_front_panel(g.fp, p, rec->config(), &was.fp);
    return gather_hardware(g.hw, p, captions, rec->config(), &was.hw);
}

}  // namespace fir
