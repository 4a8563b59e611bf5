// The steps every stream command takes around its generator: page values
// read as typed, the flash image loaded, the stream's layout set, the stream
// reported and merged into another on request, and the groups of a DSM-CC
// carousel read from their key=value form.
#pragma once

#include "JobObserver.h"
#include "OtaGenerators.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ota {

// Where a stream goes and how it is laid out.
struct StreamOutput {
    std::string output;  // the stream written
    std::string merge_into;  // merge it into this stream's null packets (empty: no merge)
    std::string merged_out;  // the merged stream (empty: upgrade.ts beside `output`)
    int packet_size = 188;
    uint32_t loops = 1, repeat = 1;
};

// How a step ended: its kind, what goes to standard output and what to
// standard error (either may be empty).
struct StepOutcome {
    JobErrorKind kind = JobErrorKind::None;
    std::string out;
    std::string err;
};

// A page value: hexadecimal as typed on the page, within `bits`. False with
// the message in *message.
bool page_hex_value(const std::string& option, const std::string& text, int bits, uint32_t& out, std::string* message);

// The flash image at `path`; an empty or unreadable one is bad input.
JobErrorKind read_stream_image(const std::string& path, std::vector<uint8_t>& image, std::string* message);

void apply_stream_output(OTA_M2T_Generator& m2t, const StreamOutput& o);

// Reports the stream written (`generated` is the generator's answer) and
// merges it when asked.
StepOutcome finish_stream(OTA_M2T_Generator& m2t, const StreamOutput& o, int generated, OtaKind kind);

// "key=value,key=value" of one --group.
bool parse_group_spec(const std::string& spec, std::map<std::string, std::string>& out, std::string* message);

// The checks of "NextGroup" (the page's messages), the defaults of the
// optional values, then the group's record. None, or Usage with *message.
JobErrorKind group_record(std::map<std::string, std::string>& kv, dsmcc_upg_info_t& info, std::string* message);

}  // namespace ota
