// The front-panel page files (".fp", ".hw", ".fpkey", ".ir1", ".ir2",
// ".led") as the pages and the command line read them: the file read, its
// part taken into a record, and the page file made from that record again.
// The first byte picks the kind, the second the platform; the rest is the file.
#include "FirCaptions.h"
#include "FirPageFiles.h"
#include "MemoryFile.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const auto kind = fir::PageFile(data[0] % 6);
    const auto p = fir::Platform(data[1] % fir::kPlatformCount);
    MemoryFile file(data + 2, size - 2);
    fir::CPanelRecord read = fir::empty_page_record(kind, p);
    if (!fir::read_page_file(file.path(), kind, p, &read).ok)
        return 0;
    if (read.size() != fir::page_file_size(kind, p))
        std::abort();  // a file read is a record of the file's form
    fir::CPanelRecord rec = fir::CPanelRecord::ForPlatform(p);
    rec.preset_default_slots();
    if (!fir::apply_page_file(read, kind, p, fuzz_captions(), &rec).ok)
        return 0;
    fir::CPanelRecord out = fir::empty_page_record(kind, p);
    fir::export_page_file(rec, kind, p, fuzz_captions(), &out);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<std::vector<uint8_t>> seeds;
    for (int k = 0; k < 6; ++k) {
        const auto kind = fir::PageFile(k);
        const auto p = fir::Platform(k % fir::kPlatformCount);
        fir::CPanelRecord rec = fir::CPanelRecord::ForPlatform(p);
        rec.preset_default_slots();
        for (size_t i = 0; i < rec.config_size(); ++i)
            rec.config()[i] = uint8_t(i % 3);
        fir::CPanelRecord file = fir::empty_page_record(kind, p);
        fir::export_page_file(rec, kind, p, fuzz_captions(), &file);
        std::vector<uint8_t> s{uint8_t(k), uint8_t(p)};
        s.insert(s.end(), file.bytes().begin(), file.bytes().end());
        seeds.push_back(std::move(s));
    }
    return seeds;
}
