// The upgrade client: how it is loaded into the STB, and the framed,
// checksummed command protocol the host talks with it.
//
// Command frame: '#', letter, payload length n, payload, CRC-32 of letter,
// length and payload (4 bytes, little-endian). Data frame: '#', '*', sequence
// high, low, up to 1024 data bytes, CRC-32 of the data. The CRC is the
// table-driven reflected 0xEDB88320 with the register preset to 0xFFFFFFFF
// and no final complement (kv::crc32).
//
// Every operation returns 1 on success, 0 on failure, and logs its messages.
#pragma once

#include "BootLink.h"
#include "ClientLoops.h"
#include "Platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bootlink {

// ---- frames ---------------------------------------------------------------

std::vector<uint8_t> build_command_frame(uint8_t letter, const uint8_t* payload, size_t n);
inline std::vector<uint8_t> build_command_frame(uint8_t letter, const std::vector<uint8_t>& payload = {})
{
    return build_command_frame(letter, payload.data(), payload.size());
}
std::vector<uint8_t> build_data_frame(uint16_t sequence, const uint8_t* data, size_t n);

constexpr size_t kDataFrameBytes = 1024;
constexpr size_t kMaxTransferFrames = 65536;  // the sequence on the wire is 16 bits
constexpr size_t kDumpChunk = 3072;
constexpr size_t kShellChunk = 4096;
constexpr const char* kClientBanner = "KESTREL P2P UPG";

// ---- client images --------------------------------------------------------

// The client file, its load header and time-out come from the platform table.
// The words ahead of a one-piece client of `project_type`: the table's load
// header; empty for a client that goes in blocks, or an unknown type.
std::vector<uint8_t> client_image_header(int project_type, uint32_t image_len);
// Flash image length rounded up to a multiple of 64 KiB.
uint64_t padded_image_size(uint64_t len);

// Loads the platform's client: in one piece after its load header, or block
// by block (DownloadUpgClientImage_Alder). `image_name` overrides the file.
int DownloadUpgClientImage(int project_type, JobContext& ctx, const std::string& image_name = "");
// The block-wise Alder download, after the STB printed "bootinit_ready".
int DownloadUpgClientImage_Alder(JobContext& ctx, const std::string& image_name = "upgclient_alder.bin");
// The Alder block frame: '#', block number (16-bit LE), length, payload, XOR.
std::vector<uint8_t> build_alder_block(uint16_t block_number, const uint8_t* payload, size_t n);

// ---- commands ---------------------------------------------------------------

// Sends a command frame, at most three times (1000 ms each way), until the
// client answers "OO". `other` sees any other reply and returns false to give
// up at once.
bool command_until_oo(JobContext& ctx, const std::vector<uint8_t>& frame,
                      const std::function<bool(const uint8_t* reply)>& other = {});

// Follows the burn progress after the client took 'T'. The byte stream is
// 'B' + percentage ... 'F' (or 'E'); a lost byte shifts a percentage into the
// place of a command, so an 'F' is taken as the end only once the percentage
// has reached 70 and the line then stays quiet for a moment. A percentage
// that stops rising, and the burn as a whole, are bounded by ctx.limits.
class BurnProgress : public BurnWatch {
public:
    static constexpr int kSettleMs = 100;  // quiet after 'F' that confirms the end

    explicit BurnProgress(JobContext& ctx);
    // Takes one byte read from the line: 1 finished, 0 failed ('E'), -1 go on.
    int take(uint8_t b) override;
};

// 'P' with the banner; the client answers "OO" and the banner.
int UpgClientTest(JobContext& ctx);
// 'e': mode 1 sends 0xEE, mode 2 sends 0x00; other modes are refused.
int UpgUserLimit(int mode, JobContext& ctx);
// 'R': announces the image size (the caller passes the padded size).
int UpgSlaveReport(uint32_t image_size, JobContext& ctx, uint8_t block_id = 0xFF);
// 'S' then the data frames. Records ctx.transfer.
int UpgTransfer(const uint8_t* data, size_t len, JobContext& ctx, uint8_t block_id = 0xFF, uint8_t kind = 'Z');
// 'T' then the burn progress: 'B' and a percentage, then 'F' ('E' on a
// failure). The percentage 70 is the byte 'F': an 'F' is taken as the end
// only once the percentage has reached 70 and the line then stays quiet for a
// moment, so that a lost or garbled 'B' never passes for a finished burn. A percentage that stops rising, and the burn as a
// whole, are bounded by ctx.limits.
int UpgBurn(JobContext& ctx);
// 'U'. The box has confirmed its burn before: a missing 'O' is a warning
// (ctx.warnings), only a failed send fails. When `restart_service` (the
// platforms that boot with an init image) the service's own reading is
// restarted afterwards.
int UpgFinish(JobContext& ctx, bool restart_service);
// 0x60 then the flash in 3072-byte chunks into *out (resized to `size`).
// When `path` is given the dump replaces the file there only when it is
// complete and every chunk passed its CRC; a file already there stays as it
// was on any failure or cancel. Records ctx.dump.
int UpgDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx);

// ---- "shell.img" dump (project type 0) ---------------------------------------

// The 17-byte read request of "shell.img" for `len` bytes at flash offset `offset`.
std::vector<uint8_t> build_shell_read(uint32_t offset, uint32_t len);
// The reply: 9 header bytes, the data, its CRC. The header is 0x23, 0x83,
// a status (0: done), the flash address read (LE32) and the length (LE16).
constexpr size_t kShellReplyHeader = 9;
// True when a reply header answers the request for `len` bytes at `offset`.
bool shell_reply_matches(const uint8_t* header, uint32_t offset, uint32_t len);
// Sends "shell.img" whole and drains what it prints.
int send_shell_image(JobContext& ctx, const std::string& image_name = "shell.img");
// Reads `size` bytes of flash in 4096-byte chunks through "shell.img". A chunk
// is asked for again after a bad CRC, a reply for another address or status,
// or a failed read, at most 5 times. The file at `path` as in UpgDump.
int ShellReadDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx);

// Retries of one dump chunk after a CRC mismatch before the dump fails.
constexpr int kDumpChunkRetries = 5;

}  // namespace bootlink
