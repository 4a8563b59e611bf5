#include "DownloadReport.h"

#include "DdrConf.h"
#include "JsonText.h"

#include <sstream>

namespace download {

namespace {

std::string json_head(bool ok, const std::string& error, bool cancelled)
{
    return std::string("{\n  \"ok\": ") + (ok ? "true" : "false") + ",\n  \"error\": \"" +
           kv_json::escape(ok ? "" : error) + "\",\n  \"cancelled\": " + (cancelled ? "true" : "false");
}

std::string lanes_json(const CalibrationResult& r)
{
    std::ostringstream j;
    j << ",\n  \"lanes\": [";
    for (int i = 0; i < r.lanes_done; ++i) {
        const LaneResult& l = r.lanes[i];
        j << (i ? ", " : "") << "{\"clock_start\": " << l.clock_start << ", \"clock_end\": " << l.clock_end
          << ", \"dqs_start\": " << l.dqs_start << ", \"dqs_end\": " << l.dqs_end << ", \"clock\": " << l.clock
          << ", \"dqs\": " << l.dqs << ", \"ok\": " << (l.ok() ? "true" : "false") << "}";
    }
    j << "]";
    return j.str();
}

}  // namespace

CacheCalibration cache_calibration_of(const std::string& name)
{
    return name == "ddr2"   ? CacheCalibration::ElmDdr2
           : name == "ddr3" ? CacheCalibration::ElmDdr3
                            : CacheCalibration::None;
}

bool read_input_file(const std::string& path, std::vector<uint8_t>* out, std::string* message)
{
    if (bootlink::read_file(path, out) && !out->empty())
        return true;
    *message = "error: " + path + " is missing, unreadable or empty";
    return false;
}

JobErrorKind load_calibration_config(const std::string& chip, bool fpga, const std::string& config,
                                     CalibrationParams* p, std::string* message)
{
    std::string path = chip;
    if (fpga)
        path = config.empty() ? bootlink::JobContext{}.file_path(kFpgaConfigFile) : config;
    std::vector<uint8_t> text;
    if (!read_input_file(path, &text, message))
        return JobErrorKind::Input;
    p->config_text.assign(text.begin(), text.end());
    p->platform = fpga ? CalibrationPlatform::Fpga : CalibrationPlatform::Chip;
    FpgaConfig cfg;
    std::string err;
    if (fpga && !parse_fpga_config(p->config_text, &cfg, &err)) {
        *message = "error: " + path + " " + err;
        return JobErrorKind::Input;
    }
    return JobErrorKind::None;
}

std::string download_report(const DownloadResult& r, size_t image_bytes)
{
    const double rate = r.seconds > 0 ? double(r.sent) / r.seconds : 0;
    return json_head(r.ok, r.error, r.cancelled) + ",\n  \"image_bytes\": " + std::to_string(image_bytes) +
           ",\n  \"sent_bytes\": " + std::to_string(r.sent) + ",\n  \"seconds\": " + std::to_string(r.seconds) +
           ",\n  \"bytes_per_second\": " + std::to_string(rate) + "\n}\n";
}

std::string calibration_report(const CalibrationResult& r, bool fpga, bool cancelled)
{
    return json_head(r.ok, r.error, cancelled) + ",\n  \"platform\": \"" + (fpga ? "fpga" : "chip") +
           "\",\n  \"seconds\": " + std::to_string(r.seconds) + (fpga ? lanes_json(r) : std::string()) + "\n}\n";
}

}  // namespace download
