// corvane-cli fir: the front-panel, hardware, key and LED configuration of a
// flash image, as the "Customization" tab reads and writes it.
//
//   fir show   --platform P IMAGE              the panel record as JSON
//   fir set    --platform P IMAGE -o OUT ...   page files and fields written back
//   fir export --platform P IMAGE --fp F ...   one page file from the image
//   fir send, learn-keys, learn-led             with a live box (cmd_fir_panel.cpp)
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JsonText.h"
#include "cmd_fir_panel.h"

#include "CodePage.h"
#include "FirImage.h"
#include "FirLanguages.h"
#include "FirNamedFields.h"
#include "FirPageFiles.h"
#include "KvBasicLog.h"
#include "BootLink.h"

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

using namespace fir;

namespace {

int fail(int rc, const FirResult& res)
{
    std::fprintf(stderr, "%s\n", res.message.c_str());
    if (!res.detail.empty())
        std::fprintf(stderr, "%s\n", res.detail.c_str());
    return rc;
}

// The box captions: config.birch.xml of the program folder when it is there.
std::vector<std::string> captions()
{
    std::vector<std::string> list;
    read_language_list(language_file_path(), &list);
    return language_captions(list);
}

int load(const std::string& platform, const std::string& image, Platform* p, ParsedImage* parsed)
{
    if (!platform_from_name(platform, p)) {
        std::fprintf(stderr, "Unknown platform \"%s\": base, alder or dogwood\n", platform.c_str());
        return cli_exit::kUsage;
    }
    FirResult res = load_image(*p, image, parsed);
    if (!res.ok)
        return fail(cli_exit::kInput, res);
    for (const std::string& n : parsed->notes)
        std::fprintf(stderr, "warning: %s\n", n.c_str());
    return cli_exit::kOk;
}

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

int cmd_show(const std::string& platform, const std::string& image)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(platform, image, &p, &parsed))
        return rc;
    const std::vector<std::string> caps = captions();
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
    std::fputs(o.str().c_str(), stdout);
    return cli_exit::kOk;
}

struct SetOptions {
    std::string platform, image, output;
    std::map<PageFile, std::string> files;
    std::vector<std::string> sets;
};

int cmd_set(const SetOptions& o)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(o.platform, o.image, &p, &parsed))
        return rc;
    const std::vector<std::string> caps = captions();
    CPanelRecord rec = parsed.record;
    for (const auto& [kind, path] : o.files) {
        CPanelRecord file;
        FirResult res = read_page_file(path, kind, p, &file);
        if (res.ok)
            res = apply_page_file(file, kind, p, caps, &rec);
        if (!res.ok)
            return fail(cli_exit::kInput, FirResult::Fail(res.message, path + (res.detail.empty() ? "" : ": ") +
                                                                          res.detail));
    }
    for (const std::string& s : o.sets) {
        const size_t eq = s.find('=');
        FirResult res = eq == std::string::npos ? FirResult::Fail("--set takes field=value, not \"" + s + "\"")
                                                : set_named_field(&rec, p, caps, s.substr(0, eq), s.substr(eq + 1));
        if (!res.ok)
            return fail(cli_exit::kUsage, res);
    }
    std::vector<uint8_t> out;
    FirResult res = generate_image(parsed, rec, &out);
    if (!res.ok)
        return fail(cli_exit::kFailed, res);
    if (!bootlink::write_file_atomic(o.output, out.data(), out.size()))
        return fail(cli_exit::kFailed, FirResult::Fail("Can't open output file!", o.output));
    std::printf("%s\n", res.message.c_str());
    return cli_exit::kOk;
}

int cmd_export(const std::string& platform, const std::string& image, PageFile kind, const std::string& path)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(platform, image, &p, &parsed))
        return rc;
    CPanelRecord file;
    FirResult res = export_page_file(parsed.record, kind, p, captions(), &file);
    if (res.ok)
        res = write_page_file(path, file);
    if (!res.ok)
        return fail(cli_exit::kFailed, res);
    std::printf("%s\n", res.message.c_str());
    return cli_exit::kOk;
}

void run(int rc)
{
    if (rc)
        throw CLI::RuntimeError(rc);
}

const std::pair<PageFile, const char*> kFileOptions[] = {
    {PageFile::Fp, "--fp"},   {PageFile::Hw, "--hw"},   {PageFile::FpKey, "--fpkey"},
    {PageFile::Ir1, "--ir1"}, {PageFile::Ir2, "--ir2"}, {PageFile::Led, "--led"},
};

std::string file_help(PageFile kind, const char* verb)
{
    return std::string(verb) + " a ." + page_file_extension(kind) + " page file";
}

}  // namespace

static CliCommandRegistrar reg([](CLI::App& app) {
    auto* firc = app.add_subcommand("fir", "Front panel, hardware options, key and LED maps of a flash image");
    firc->require_subcommand(1);
    firc->preparse_callback([](size_t) { kv::log_set_fallback(kv::LogFallback::FileOnly); });
    const char* platform_help = "Chip platform: base, alder or dogwood";

    auto opts = std::make_shared<SetOptions>();
    auto* show = firc->add_subcommand("show", "Print the panel record of an image as JSON");
    show->add_option("--platform", opts->platform, platform_help)->required();
    show->add_option("IMAGE", opts->image, "Flash image")->required();
    show->callback([opts] { run(cmd_show(opts->platform, opts->image)); });

    auto* set = firc->add_subcommand("set", "Write page files and fields back into an image");
    set->add_option("--platform", opts->platform, platform_help)->required();
    set->add_option("IMAGE", opts->image, "Flash image")->required();
    set->add_option("-o,--output", opts->output, "New image to write")->required();
    auto paths = std::make_shared<std::map<PageFile, std::string>>();
    for (const auto& [kind, flag] : kFileOptions)
        set->add_option(flag, (*paths)[kind], file_help(kind, "Load"));
    set->add_option("--set", opts->sets, "field=value, e.g. clock_pos=12 or language.English=checked (repeatable)")
        ->allow_extra_args(false);
    set->callback([opts, paths] {
        for (const auto& [kind, path] : *paths)
            if (!path.empty())
                opts->files[kind] = path;
        run(cmd_set(*opts));
    });

    auto* exp = firc->add_subcommand("export", "Write one page file from an image");
    exp->add_option("--platform", opts->platform, platform_help)->required();
    exp->add_option("IMAGE", opts->image, "Flash image")->required();
    auto targets = std::make_shared<std::map<PageFile, std::string>>();
    std::vector<CLI::Option*> group;
    for (const auto& [kind, flag] : kFileOptions)
        group.push_back(exp->add_option(flag, (*targets)[kind], file_help(kind, "Write")));
    for (CLI::Option* g : group)
        for (CLI::Option* other : group)
            if (g != other)
                g->excludes(other);
    exp->callback([opts, targets] {
        int n = 0;
        for (const auto& [kind, path] : *targets)
            if (!path.empty()) {
                ++n;
                run(cmd_export(opts->platform, opts->image, kind, path));
            }
        if (n == 0) {
            std::fprintf(stderr, "Name one page file: --fp, --hw, --fpkey, --ir1, --ir2 or --led\n");
            run(cli_exit::kUsage);
        }
    });

    add_fir_panel_commands(firc);
});
