// The page files: ".fp", ".hw", ".fpkey", ".ir1", ".ir2" and ".led". Each is
// a whole panel record; a saved file holds its page's part and zeros
// elsewhere, and loading takes only that part.
//
// Sizes: ".fp" 1564 bytes on the base platform, 1580 on Alder and Dogwood;
// every other kind the platform's own record, 1564 bytes on the base platform
// and Alder, 1580 on Dogwood. A file of another size is refused.
#pragma once

#include "FirPlatform.h"
#include "PanelRecord.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fir {

enum class PageFile { Fp, Hw, FpKey, Ir1, Ir2, Led };

size_t page_file_size(PageFile kind, Platform p);
// "fp", "hw", "fpkey", "ir1", "ir2", "led".
const char* page_file_extension(PageFile kind);
// The file dialog filter, e.g. "FP files(*.fp);;All   files   (*.*)".
const char* page_file_filter(PageFile kind);
// The key table a key file holds (".fpkey", ".ir1", ".ir2").
bool page_file_table(PageFile kind, KeyTable* t);

// A zeroed record of the file's form.
CPanelRecord empty_page_record(PageFile kind, Platform p);

// Reads a page file into `out` (a record of the file's form). Fails with
// "Can't open binary file!", a size message, or for key files whose count
// is beyond the table with "The fp num out of range, please select the right
// file!" (ir1, ir2 likewise). `out` is changed only on success.
FirResult read_page_file(const std::string& path, PageFile kind, Platform p, CPanelRecord* out);
// Writes the record whole: "Finish to save file!", or "Can't open binary file!".
FirResult write_page_file(const std::string& path, const CPanelRecord& rec);

// A key file's record: the slot words (their number is the count) and, for
// the IR tables, the user code.
CPanelRecord key_file_record(PageFile kind, Platform p, const std::vector<uint32_t>& words, uint16_t user_code);
// A LED file's record.
CPanelRecord led_file_record(Platform p, const uint8_t* led_map);

// Takes a file's part into the record (the command line's write-back): key
// codes of the file's count and the user code; the LED map; the front-panel
// or hardware fields (as the page would show and gather them; a field whose
// value the record already shows keeps its bytes).
FirResult apply_page_file(const CPanelRecord& file, PageFile kind, Platform p,
                          const std::vector<std::string>& language_captions, CPanelRecord* rec);
// The record a page file of `kind` gets from the current record.
FirResult export_page_file(const CPanelRecord& rec, PageFile kind, Platform p,
                           const std::vector<std::string>& language_captions, CPanelRecord* file);

}  // namespace fir
