// The steps the configuration tool's commands take on an image file: the
// image read, checked and scanned, its configuration script read, its header
// and block table told as text, and whether the settings file is to be found.
#pragma once

#include "JobObserver.h"
#include "Tesselcore.h"

#include <string>

namespace tessel {

// An image loaded for a command, its scanned block list freed with it.
struct LoadedImage {
    CTesselcore core;
    tessel_image_t img;
    tag_dmh_block_node node{};
    LoadedImage() = default;
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    ~LoadedImage() { core.free_block_node(&node); }
};

// How a step ended: None, or its kind and the lines to show.
struct StepResult {
    JobErrorKind kind = JobErrorKind::None;
    std::string message;
    bool ok() const { return kind == JobErrorKind::None; }
};

// The core's last message, the reason underneath it first when there is one.
StepResult core_failure(const CTesselcore& core, JobErrorKind kind = JobErrorKind::Failed);

// Reads and checks the image and runs the scan (Pre-Parse). `ini` and
// `code_page` (either may be empty) set the settings file and the box's code
// page first; an unknown code page is a usage error.
StepResult load_image_file(const std::string& path, const std::string& ini, const std::string& code_page,
                           LoadedImage* l);
// Refuses an image without a DMH header of the new type.
StepResult need_new_layout(const LoadedImage& l);
// The configuration script: `script`, or (empty) the image's own.
StepResult read_image_script(LoadedImage* l, const std::string& script);

// The header and the block table, as the info command shows them.
std::string image_info_text(const LoadedImage& l);

enum class SettingsFile { Found, Missing };
// Whether the settings file (`ini`, or corvane.ini in the program folder)
// can be read; `*path` (may be null) receives its path.
SettingsFile settings_file_state(const std::string& ini, std::string* path = nullptr);

// A block id as typed: decimal, 0x hexadecimal or 0 octal, at most 0xFF.
bool parse_block_id(const std::string& text, uint8_t* id);

}  // namespace tessel
