// What the download and calibration commands read before they start and the
// JSON reports they write after: the configuration checked before anything
// is sent, and one report per run.
#pragma once

#include "CalibrationJob.h"
#include "DownloadJob.h"

#include <string>

namespace download {

// "ddr2", "ddr3" or "" (none): the Elm cache calibration run first.
CacheCalibration cache_calibration_of(const std::string& name);

// Reads `path` whole into `out`; false with the message when it is missing,
// unreadable or empty.
bool read_input_file(const std::string& path, std::vector<uint8_t>* out, std::string* message);

// The calibration's configuration: the chip's `chip_ddrconf` file, or with
// `fpga` the board's configuration (`config`, default ddrconf.txt in the
// data folder), checked before anything is sent. Input with the message
// when it cannot be used.
JobErrorKind load_calibration_config(const std::string& chip, bool fpga, const std::string& config,
                                     CalibrationParams* p, std::string* message);

// The report of a download: ok, error, cancelled, image_bytes, sent_bytes,
// seconds, bytes_per_second.
std::string download_report(const DownloadResult& r, size_t image_bytes);
// The report of a calibration: ok, error, cancelled, platform, seconds and,
// for an FPGA board, its lanes.
std::string calibration_report(const CalibrationResult& r, bool fpga, bool cancelled);

}  // namespace download
