// What a panel command starts from: the platform, the whole panel record it
// sends on connection (an image's, or the platform's empty record) and the
// key names of the image; and how an exchange's outcome counts for a job.
#pragma once

#include "FirScript.h"
#include "JobObserver.h"
#include "PanelRecord.h"
#include "PanelSession.h"

#include <string>

namespace fir {

struct PanelStart {
    Platform platform = Platform::Base;
    CPanelRecord record;
    KeyNames names;
};

// The platform named `platform` and the record of `image` (empty: the
// platform's empty record, the default slots preset on Base). None, or
// Usage (unknown platform) / Input (an image that does not load) with the
// lines to show in *message.
JobErrorKind load_panel_start(const std::string& platform, const std::string& image, PanelStart* out,
                              std::string* message);

// How an exchange that ended with `r` ends the job.
JobErrorKind panel_error_kind(const PanelResult& r);

}  // namespace fir
