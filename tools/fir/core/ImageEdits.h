// What the image commands of the front-panel tool do with an image file: it
// loaded for a platform named as typed, its record told as JSON, page files
// and named fields written back into a new image, and one page file written
// from it.
#pragma once

#include "FirImage.h"
#include "FirPageFiles.h"
#include "JobObserver.h"

#include <map>
#include <string>
#include <vector>

namespace fir {

// How a step ended: its kind and, when it failed, what to show.
struct EditStep {
    JobErrorKind kind = JobErrorKind::None;
    FirResult result;  // the failure's message and detail, or the success message
    bool ok() const { return kind == JobErrorKind::None; }
};

// The box captions: config.birch.xml of the program folder when it is there.
std::vector<std::string> box_captions();

// The platform named `platform` and the image parsed for it; the parser's
// notes go to *notes.
EditStep load_platform_image(const std::string& platform, const std::string& image, Platform* p, ParsedImage* parsed);

// The whole panel record as the show command prints it.
std::string panel_record_json(const ParsedImage& parsed, Platform p, const std::vector<std::string>& captions);

// The page files (kind -> path) and "field=value" settings applied to the
// image's record, then the new image written to `output` atomically.
EditStep write_edited_image(const ParsedImage& parsed, Platform p, const std::map<PageFile, std::string>& files,
                            const std::vector<std::string>& sets, const std::string& output);

// One page file of `kind` from the image's record, written to `path`.
EditStep write_one_page_file(const ParsedImage& parsed, Platform p, PageFile kind, const std::string& path);

}  // namespace fir
