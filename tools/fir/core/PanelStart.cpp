#include "PanelStart.h"

#include "FirImage.h"

namespace fir {

JobErrorKind load_panel_start(const std::string& platform, const std::string& image, PanelStart* out,
                              std::string* message)
{
    if (!platform_from_name(platform, &out->platform)) {
        *message = "Unknown platform \"" + platform + "\": base, alder or dogwood";
        return JobErrorKind::Usage;
    }
    if (image.empty()) {
        out->record = CPanelRecord::ForPlatform(out->platform);
        if (out->platform == Platform::Base)
            out->record.preset_default_slots();
        return JobErrorKind::None;
    }
    ParsedImage parsed;
    const FirResult res = load_image(out->platform, image, &parsed);
    if (!res.ok) {
        *message = res.message + "\n" + res.detail;
        return JobErrorKind::Input;
    }
    out->record = parsed.record;
    out->names = parsed.names;
    return JobErrorKind::None;
}

JobErrorKind panel_error_kind(const PanelResult& r)
{
    switch (r.outcome) {
    case PanelOutcome::Ok: return JobErrorKind::None;
    case PanelOutcome::Cancelled: return JobErrorKind::Cancelled;
    case PanelOutcome::NoBox: return JobErrorKind::NoBox;
    case PanelOutcome::Failed:
    case PanelOutcome::Refused: break;
    }
    return JobErrorKind::Failed;
}

}  // namespace fir
