#include "FirPageFiles.h"
#include "FileOps.h"

#include "BootLink.h"
#include "FirFields.h"

#include <filesystem>

namespace fir {

namespace {

struct Kind {
    const char* ext;
    const char* filter;
    const char* range_message;
};

const Kind kKinds[] = {
    {"fp", "FP files(*.fp);;All   files   (*.*)", nullptr},
    {"hw", "HW files(*.hw);;All   files   (*.*)", nullptr},
    {"fpkey", "FPKEY files(*.fpkey);;All   files   (*.*)", "The fp num out of range, please select the right file!"},
    {"ir1", "IR1 files(*.ir1);;All   files   (*.*)", "The ir1 num out of range, please select the right file!"},
    {"ir2", "IR2 files(*.ir2);;All   files   (*.*)", "The ir2 num out of range, please select the right file!"},
    {"led", "LED files(*.led);;All   files   (*.*)", nullptr},
};

const Kind& kind_of(PageFile k) { return kKinds[static_cast<int>(k)]; }

}  // namespace

size_t page_file_size(PageFile kind, Platform p)
{
    if (kind == PageFile::Fp && p != Platform::Base)
        return kLongRecordSize;
    return traits(p).record_size;
}

const char* page_file_extension(PageFile kind) { return kind_of(kind).ext; }
const char* page_file_filter(PageFile kind) { return kind_of(kind).filter; }

bool page_file_table(PageFile kind, KeyTable* t)
{
    switch (kind) {
    case PageFile::FpKey: *t = KeyTable::Fp; return true;
    case PageFile::Ir1: *t = KeyTable::Ir1; return true;
    case PageFile::Ir2: *t = KeyTable::Ir2; return true;
    default: return false;
    }
}

CPanelRecord empty_page_record(PageFile kind, Platform p)
{
    return CPanelRecord(page_file_size(kind, p) == kLongRecordSize);
}

FirResult read_page_file(const std::string& path, PageFile kind, Platform p, CPanelRecord* out)
{
    std::error_code ec;
    const size_t expected = page_file_size(kind, p);
    const auto size = std::filesystem::file_size(kv::file_path(path), ec);
    std::vector<uint8_t> bytes;
    if (ec || !std::filesystem::is_regular_file(kv::file_path(path), ec))
        return FirResult::Fail("Can't open binary file!", path);
    if (size != expected)
        return FirResult::Fail("The file size does not fit this platform, please select the right file!",
                               path + " holds " + std::to_string(size) + " bytes, " + std::to_string(expected) +
                                   " are expected");
    if (!bootlink::read_file(path, &bytes) || bytes.size() != expected)
        return FirResult::Fail("Can't open binary file!", path);
    CPanelRecord rec = empty_page_record(kind, p);
    rec.assign(bytes.data(), bytes.size());
    KeyTable t = KeyTable::Ir1;
    if (page_file_table(kind, &t) && rec.count(t) > slot_capacity(t))
        return FirResult::Fail(kind_of(kind).range_message,
                               "the file counts " + std::to_string(rec.count(t)) + " keys");
    *out = std::move(rec);
    return FirResult::Ok("Load done!");
}

FirResult write_page_file(const std::string& path, const CPanelRecord& rec)
{
    if (!bootlink::write_file_atomic(path, rec.data(), rec.size()))
        return FirResult::Fail("Can't open binary file!", path);
    return FirResult::Ok("Finish to save file!");
}

CPanelRecord key_file_record(PageFile kind, Platform p, const std::vector<uint32_t>& words, uint16_t user_code)
{
    CPanelRecord rec = empty_page_record(kind, p);
    KeyTable t = KeyTable::Ir1;
    if (!page_file_table(kind, &t))
        return rec;
    const int n = std::min<int>(slot_capacity(t), static_cast<int>(words.size()));
    for (int i = 0; i < n; ++i)
        rec.set_slot(t, i, words[i]);
    rec.set_count(t, static_cast<uint16_t>(n));
    rec.set_user_code(t, user_code);
    return rec;
}

CPanelRecord led_file_record(Platform p, const uint8_t* led_map)
{
    CPanelRecord rec = empty_page_record(PageFile::Led, p);
    rec.set_led_map(led_map);
    return rec;
}

FirResult apply_page_file(const CPanelRecord& file, PageFile kind, Platform p,
                          const std::vector<std::string>& language_captions, CPanelRecord* rec)
{
    KeyTable t = KeyTable::Ir1;
    switch (kind) {
    case PageFile::Fp: {
        const FrontPanelFields was = fill_front_panel(rec->config(), p);
        return gather_front_panel(fill_front_panel(file.config(), p), p, rec->config(), &was);
    }
    case PageFile::Hw: {
        const HardwareFields was = fill_hardware(rec->config(), p, language_captions);
        return gather_hardware(fill_hardware(file.config(), p, language_captions), p, language_captions, rec->config(),
                               &was);
    }
    case PageFile::Led: rec->set_led_map(file.led_map()); return FirResult::Ok();
    default:
        page_file_table(kind, &t);
        for (int i = 0; i < file.count(t); ++i)
            rec->set_key_code(t, i, file.key_code(t, i));
        rec->set_user_code(t, file.user_code(t));
        return FirResult::Ok();
    }
}

FirResult export_page_file(const CPanelRecord& rec, PageFile kind, Platform p,
                           const std::vector<std::string>& language_captions, CPanelRecord* file)
{
    *file = empty_page_record(kind, p);
    KeyTable t = KeyTable::Ir1;
    switch (kind) {
    case PageFile::Fp: return gather_front_panel(fill_front_panel(rec.config(), p), p, file->config());
    case PageFile::Hw:
        return gather_hardware(fill_hardware(rec.config(), p, language_captions), p, language_captions, file->config());
    case PageFile::Led: *file = led_file_record(p, rec.led_map()); return FirResult::Ok();
    default: {
        page_file_table(kind, &t);
        std::vector<uint32_t> words;
        for (int i = 0; i < rec.count(t); ++i)
            words.push_back(rec.slot(t, i));
        *file = key_file_record(kind, p, words, rec.user_code(t));
        return FirResult::Ok();
    }
    }
}

}  // namespace fir
