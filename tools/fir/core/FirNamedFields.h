// The page fields by name, for the command line: "fp_type", "clock_pos",
// "video_mode", "language.English", ... A field is read by filling its page
// from the record and written by setting it on the filled page and gathering
// the page back, so the command line stores exactly what the page would.
#pragma once

#include "FirFields.h"
#include "FirPlatform.h"
#include "PanelRecord.h"

#include <string>
#include <vector>

namespace fir {

struct FieldValue {
    enum Kind { Text, Number, Bool };
    std::string name;
    std::string value;  // list entry, decimal number, "true"/"false", or text
    Kind kind = Text;
};

// Every field of the "Front Panel" page (front = true) or of the "HW Info"
// page that the platform stores, in page order. Languages appear as
// "language.<caption>" with "checked", "unchecked" or "disabled".
std::vector<FieldValue> describe_fields(const CPanelRecord& rec, Platform p, bool front,
                                        const std::vector<std::string>& captions);

// Sets one field: a list takes an entry text or its position, a box "true"
// or "false" (also 1 / 0, "checked" / "unchecked"), a language box also
// "disabled". Fails with a message for an unknown field, a value the field
// does not take, or the page's own gathering message.
FirResult set_named_field(CPanelRecord* rec, Platform p, const std::vector<std::string>& captions,
                          const std::string& name, const std::string& value);

// The names set_named_field takes on this platform.
std::vector<std::string> field_names(Platform p, const std::vector<std::string>& captions);

}  // namespace fir
