// The panel record as the pages and the command line show it: every field
// described, the pages filled and gathered back, a named field set to the
// value it shows. A page put back as it was shown leaves the record's bytes as
// they were; a field set twice to one value stores what it stored once. The
// first byte picks the platform, the page and the field; the rest is the
// record (cut or zero-filled to its size).
#include "FirCaptions.h"
#include "FirImage.h"
#include "FirNamedFields.h"
#include "ImageEdits.h"
#include "smoke.h"

#include <cstdlib>

namespace {

void check_pages(const fir::CPanelRecord& rec, fir::Platform p)
{
    fir::CPanelRecord copy = rec;
    const fir::FrontPanelFields fp = fir::fill_front_panel(copy.config(), p);
    const fir::HardwareFields hw = fir::fill_hardware(copy.config(), p, fuzz_captions());
    if (!fir::gather_front_panel(fp, p, copy.config(), &fp).ok ||
        !fir::gather_hardware(hw, p, fuzz_captions(), copy.config(), &hw).ok || copy.bytes() != rec.bytes())
        std::abort();  // the pages as filled store nothing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto p = fir::Platform(data[0] % fir::kPlatformCount);
    fir::ParsedImage parsed;
    parsed.platform = p;
    parsed.record = fir::CPanelRecord::ForPlatform(p);
    std::vector<uint8_t> bytes(data + 1, data + size);
    bytes.resize(parsed.record.size());
    parsed.record.assign(bytes.data(), bytes.size());
    // Counts within their tables, as every image and key file gives them.
    for (auto t : {fir::KeyTable::Ir1, fir::KeyTable::Ir2, fir::KeyTable::Fp})
        parsed.record.set_count(t, uint16_t(parsed.record.count(t) % (fir::slot_capacity(t) + 1)));
    fir::panel_record_json(parsed, p, fuzz_captions());
    check_pages(parsed.record, p);
    // One field, picked by the first byte, set twice to the value it shows.
    const bool front = data[0] & 0x80;
    const auto fields = fir::describe_fields(parsed.record, p, front, fuzz_captions());
    if (fields.empty())
        return 0;
    const fir::FieldValue& f = fields[(data[0] >> 2) % fields.size()];
    fir::CPanelRecord rec = parsed.record;
    if (!fir::set_named_field(&rec, p, fuzz_captions(), f.name, f.value).ok)
        return 0;
    const fir::CPanelRecord once = rec;
    if (!fir::set_named_field(&rec, p, fuzz_captions(), f.name, f.value).ok || rec.bytes() != once.bytes())
        std::abort();  // setting a field again to the same value changes nothing
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<std::vector<uint8_t>> seeds;
    for (int k = 0; k < fir::kPlatformCount; ++k) {
        fir::CPanelRecord rec = fir::CPanelRecord::ForPlatform(fir::Platform(k));
        rec.preset_default_slots();
        for (size_t i = 0; i < rec.config_size(); ++i)
            rec.config()[i] = uint8_t(i * k);
        std::vector<uint8_t> s{uint8_t(k)};
        s.insert(s.end(), rec.bytes().begin(), rec.bytes().end());
        seeds.push_back(std::move(s));
    }
    return seeds;
}
