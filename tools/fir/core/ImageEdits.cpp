#include "ImageEdits.h"

#include "BootLink.h"
#include "CodePage.h"
#include "FirLanguages.h"
#include "FirNamedFields.h"
#include "JsonText.h"

#include <cstdio>
#include <sstream>

namespace fir {

std::vector<std::string> box_captions()
{
    std::vector<std::string> list;
    read_language_list(language_file_path(), &list);
    return language_captions(list);
}

EditStep load_platform_image(const std::string& platform, const std::string& image, Platform* p, ParsedImage* parsed)
{
    if (!platform_from_name(platform, p))
        return {JobErrorKind::Usage, FirResult::Fail("Unknown platform \"" + platform + "\": base, alder or dogwood")};
    FirResult res = load_image(*p, image, parsed);
    if (!res.ok)
        return {JobErrorKind::Input, res};
    return {};
}

namespace {

void fields_json(std::ostream& o, const std::vector<FieldValue>& fields)
{
    o << "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        const FieldValue& f = fields[i];
        o << (i ? "," : "") << "\n    " << kv_json::quoted(f.name) << ": ";
        o << (f.kind == FieldValue::Text ? kv_json::quoted(f.value) : f.value);
    }
    o << "\n  }";
}

void keys_json(std::ostream& o, const ParsedImage& p, KeyTable t, const std::vector<std::string>& names)
{
    const kv::CodePage cp = kv::CodePage::from_settings();
    const CPanelRecord& r = p.record;
    char user[8];
    std::snprintf(user, sizeof user, "0x%04X", r.user_code(t));
    o << "{\"count\": " << r.count(t);
    if (t != KeyTable::Fp)
        o << ", \"user_code\": \"" << user << "\"";
    o << ", \"keys\": [";
    for (int i = 0; i < r.count(t); ++i) {
        const std::string name = i < static_cast<int>(names.size()) ? cp.to_screen(names[i]) : std::string();
        o << (i ? "," : "") << "\n      {\"name\": " << kv_json::quoted(name) << ", \"code\": " << int(r.key_code(t, i))
          << ", \"logical\": " << r.logical_key(t, i) << "}";
    }
    o << "]}";
}

}  // namespace

std::string panel_record_json(const ParsedImage& parsed, Platform p, const std::vector<std::string>& caps)
{
    std::ostringstream o;
    o << "{\n  \"platform\": " << kv_json::quoted(traits(p).id) << ",\n  \"image_size\": " << parsed.image.size();
    o << ",\n  \"front_panel\": ";
    fields_json(o, describe_fields(parsed.record, p, true, caps));
    o << ",\n  \"hardware\": ";
    fields_json(o, describe_fields(parsed.record, p, false, caps));
    o << ",\n  \"keys\": {\n    \"ir1\": ";
    keys_json(o, parsed, KeyTable::Ir1, parsed.names.ir1);
    o << ",\n    \"ir2\": ";
    keys_json(o, parsed, KeyTable::Ir2, parsed.names.ir2);
    o << ",\n    \"fp\": ";
    keys_json(o, parsed, KeyTable::Fp, parsed.names.fp);
    o << "\n  },\n  \"led_map\": \"";
    for (size_t i = 0; i < kLedMapSize; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", parsed.record.led_map()[i]);
        o << b;
    }
    o << "\"\n}\n";
    return o.str();
}

EditStep write_edited_image(const ParsedImage& parsed, Platform p, const std::map<PageFile, std::string>& files,
                            const std::vector<std::string>& sets, const std::string& output)
{
    const std::vector<std::string> caps = box_captions();
    CPanelRecord rec = parsed.record;
    for (const auto& [kind, path] : files) {
        CPanelRecord file;
        FirResult res = read_page_file(path, kind, p, &file);
        if (res.ok)
            res = apply_page_file(file, kind, p, caps, &rec);
        if (!res.ok)
            return {JobErrorKind::Input,
                    FirResult::Fail(res.message, path + (res.detail.empty() ? "" : ": ") + res.detail)};
    }
    for (const std::string& s : sets) {
        const size_t eq = s.find('=');
        FirResult res = eq == std::string::npos ? FirResult::Fail("--set takes field=value, not \"" + s + "\"")
                                                : set_named_field(&rec, p, caps, s.substr(0, eq), s.substr(eq + 1));
        if (!res.ok)
            return {JobErrorKind::Usage, res};
    }
    std::vector<uint8_t> out;
    FirResult res = generate_image(parsed, rec, &out);
    if (!res.ok)
        return {JobErrorKind::Failed, res};
    if (!bootlink::write_file_atomic(output, out.data(), out.size()))
        return {JobErrorKind::Failed, FirResult::Fail("Can't open output file!", output)};
    return {JobErrorKind::None, res};
}

EditStep write_one_page_file(const ParsedImage& parsed, Platform p, PageFile kind, const std::string& path)
{
    CPanelRecord file;
    FirResult res = export_page_file(parsed.record, kind, p, box_captions(), &file);
    if (res.ok)
        res = write_page_file(path, file);
    return {res.ok ? JobErrorKind::None : JobErrorKind::Failed, res};
}

}  // namespace fir
