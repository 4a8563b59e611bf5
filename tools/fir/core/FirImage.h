// Taking the panel record out of a flash image ("Parse") and writing it back
// ("Generate").
//
// Blocks are listed in DMH headers, read as the configuration core reads them
// (tessel::is_dmh_header): the 12-byte marker "*^_^*DM(^o^)", the entry count
// (byte 24) and the entry size (byte 26, always 48), then the entries at 28.
// An entry gives the block id (byte 0), the data offset from the header
// (u32 at 4), the data size (u32 at 8) and the CRC (u32 at 12, or "NCRC").
//
//   0xAF IR1 key table   N key codes, then the user code big-endian; on Alder
//   0xB1 IR2 key table   the user code little-endian, then the N codes
//   0xB0 front-panel key table, N key codes
//   0xBC the configuration, 464 bytes (480 on Dogwood)
//   0xFE the gzip-compressed configuration script
//
// Base platform: the key blocks are listed by the first DMH within bytes 0 to
// 1023, the script by the first DMH within 0x10000 to 0x103FF; N is 60, 60
// and 9. That DMH must be there; a script missing from it, or one that cannot
// be read, leaves the image without key names. Dogwood: the script is listed by the first DMH at a 64 KiB step that
// has one, the key blocks as on the base platform. Alder: the script as on
// Dogwood; the key blocks by the DMHs at 64 KiB steps, up to the one at which
// all four have been seen. On Alder and Dogwood N comes from the script.
#pragma once

#include "FirPlatform.h"
#include "FirScript.h"
#include "PanelRecord.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fir {

constexpr uint8_t kBlockIr1 = 0xAF;
constexpr uint8_t kBlockIr2 = 0xB1;
constexpr uint8_t kBlockFp = 0xB0;
constexpr uint8_t kBlockConfig = 0xBC;
constexpr uint8_t kBlockScript = 0xFE;
// The largest image the tool reads into memory.
constexpr size_t kMaxImageSize = 256u << 20;

struct ParsedImage {
    Platform platform = Platform::Base;
    std::vector<uint8_t> image;
    CPanelRecord record;
    KeyNames names;
    // False when the script could not be read (base platform only, where the
    // image opens without it): `names` is empty.
    bool script_ok = true;
    KeyCounts counts;  // key codes per block (N)
    std::vector<std::string> notes;  // remarks that did not stop the parse
};

// Reads a whole image file: "Failed to open the flash file!", "no memery!"
// or "Wrong binary file!" (empty or too large).
FirResult read_image_file(const std::string& path, std::vector<uint8_t>* out);

// Parses an image of platform `p`. On failure the message is "Wrong binary
// file!" and the detail says why; `out` is then left as it was.
FirResult parse_image(Platform p, std::vector<uint8_t> image, ParsedImage* out);
// read_image_file and parse_image.
FirResult load_image(Platform p, const std::string& path, ParsedImage* out);

// Writes `record` back into a copy of the parsed image: every key and
// configuration block found as in parsing is rewritten in the platform's byte
// order and its entry's CRC recomputed (blocks marked "NCRC" keep the mark).
FirResult generate_image(const ParsedImage& parsed, const CPanelRecord& record, std::vector<uint8_t>* out);

}  // namespace fir
