// The download stream for ABS receivers (our own format; README.md beside
// this file gives the layout): a control section announcing the image and the
// box it is for, and the image in numbered data sections, on the elementary
// PID the PMT announces. The error streams each carry one defect, named after
// the receiver test case it serves.
#pragma once

#include "OtaRecords.h"
#include "OtaStream.h"

#include <string>
#include <vector>

namespace ota {

inline constexpr uint8_t kStreamTypePrivateSections = 0x05;
inline constexpr uint8_t kTagAbsDownload = 0xA0;  // PMT: manufacturer, hardware, model, version
inline constexpr uint8_t kTableAbsControl = 0xA0;
inline constexpr uint8_t kTableAbsData = 0xA1;
inline constexpr uint16_t kAbsBlockSize = 4080;
inline constexpr size_t kAbsControlBodySize = 20;
inline constexpr uint8_t kAbsFlagForce = 0x01;

// The defects of the error streams, in the order of the drop-down.
enum class AbsDefect {
    WrongManufacturer,  // 5_6_6_2
    WrongHardware,  // 5_6_6_3
    WrongModel,  // 5_6_6_5
    OldVersion,  // 5_6_6_6
    ControlCrc,  // 5_6_6_7
    DataCrc,  // 5_6_6_9
    MissingBlock,  // 5_6_6_14
    ImageCrc,  // 5_6_6_15
    HostileSize,  // 5_6_7_1
    NotInPmt,  // 5_6_7_3
    DataVersion,  // 5_6_7_4
    ReverseOrder,  // 5_6_7_5
    NoControl,  // 5_6_7_6
};
// "5_6_6_2", ... as the drop-down shows them.
const std::vector<std::string>& abs_error_case_names();
// What each defect is, for the command line's help and the inspect report.
const char* abs_defect_text(AbsDefect d);

// One cycle of the ABS stream. False with a message.
bool build_abs_stream(const abs_upg_info_t& info, const uint8_t* image, size_t len, OtaCycle& cycle,
                      std::string& error);

}  // namespace ota
