// The "Front Panel" and "HW Info" pages as plain values, and where each field
// lands in the configuration of the panel record.
//
// The pages hold list positions, check states and the texts of their number
// fields; gathering checks the number fields in a fixed order, stores every
// field before the first bad one and stops there with its message. Bits the
// pages do not name keep their previous value. Filling is the inverse.
#pragma once

#include "FirPlatform.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fir {

// The entries of the pages' lists, as shown (UTF-8).
enum class FirList {
    FpType,  // "1642", "1635", "650D/650G"
    ComNum,  // "0" to "4"
    Status,  // six display orders
    Level,  // "low", "high"
    LbdType,  // lamps driven by I/O or by the MCU
    ScanType,  // "slot", "matrix"
    DigitMode,  // default digit positions, or set them
    VideoMode,  // five video outputs
    OffOn,  // "OFF", "ON"
    Sog,  // "ON", "OFF"
    PowerOffDisp,  // "Time", "Off", "None"
    StandbyMode,  // automatic standby, timed power-off
    TvSystem,  // "PAL", "NTSC", "AUTO"
    Resolution625,  // "576P", "720P", "1080i", "1080P" (PAL and AUTO)
    Resolution525,  // "480P", "720P", "1080i", "1080P" (NTSC)
};
const std::vector<std::string>& list_entries(FirList list);

// The nine language boxes until config.birch.xml renames them, and the four
// further boxes of Dogwood.
const std::vector<std::string>& default_language_captions();
const std::vector<std::string>& extra_language_captions();
constexpr int kLanguageBoxes = 9;
constexpr int kAllLanguageBoxes = 13;

struct FrontPanelFields {
    int fp_type = 0;
    int com_num = 0;
    std::string colon_pos = "0";
    int status = 0;  // shown only; no place in the configuration
    int clock_level = 0;
    std::string clock_pos = "0";
    int data_level = 0;
    std::string data_pos = "0";
    int lbd_type = 0;
    std::string lock_lamp_pos = "0";
    int lock_lamp_level = 0;
    std::string power_lamp_pos = "0";
    int power_lamp_level = 0;
    int scan_type = 0;
    std::string scan0_pos = "0";
    int scan0_level = 0;
    int digit_mode = 0;  // 0 default positions, 1 set them
    std::string digit_positions;  // one of "1" to "4" per digit
};

// The digit-position text of the default mode: "", "1", "12", "123", "1234".
std::string default_digit_positions(int com_num);

// Language box states as stored.
enum LanguageState : int { kLangUnchecked = 0, kLangChecked = 1, kLangDisabled = 2 };

struct HardwareFields {
    int video_mode = 0;
    bool spdif = false;
    bool lnb_load = false;
    bool scart = false;
    std::string tv_av = "0";
    std::string tv_mode = "0";
    std::string tv_ratio = "0";
    int sog = 0;  // list position: 0 "ON", 1 "OFF"
    int power_off_disp = 0;
    int standby_mode = 0;
    std::array<int, kAllLanguageBoxes> languages{};  // LanguageState; 9 to 12 on Dogwood only
    std::vector<std::string> default_language_list;  // the names offered
    std::string default_language;  // the chosen name, empty for none
    int loop_through = 0;
    int biss = 0;
    // Dogwood only.
    int lnb = 0;
    int tv_system = 0;
    int video_resolution = 0;
    int tuner_clock_out = 0;
    std::string power_wave;  // kept by the page only
};

// `config` holds the configuration of the platform's record (464 or 480 bytes).
//
// `was`, when given, is the page as it was filled from `config`: only the
// fields that differ from it are stored (and checked), so that the bytes of
// fields nobody changed stay as they are, also where the page cannot show
// them (a list position beyond the list, bits outside the fields, digit
// positions beyond "4"). Without it every field is stored, as into the zeroed
// record of a page file.
FirResult gather_front_panel(const FrontPanelFields& f, Platform p, uint8_t* config,
                             const FrontPanelFields* was = nullptr);
FrontPanelFields fill_front_panel(const uint8_t* config, Platform p);

// `captions`: the thirteen language box captions (nine, then the four of
// Dogwood); the base platform and Alder store the chosen default language as
// its index among the first nine, Dogwood as a fixed code of its name.
FirResult gather_hardware(const HardwareFields& f, Platform p, const std::vector<std::string>& captions,
                          uint8_t* config, const HardwareFields* was = nullptr);
HardwareFields fill_hardware(const uint8_t* config, Platform p, const std::vector<std::string>& captions);

// The resolution code stored on Dogwood for a list position under a TV
// system, and back (an unknown code gives position 0).
uint32_t resolution_code(int tv_system, int position);
int resolution_position(int tv_system, uint32_t code);

// The fixed Dogwood code of a language name ("Chinese" 0 ... "Polish" 12;
// any other name 0).
uint8_t language_code(const std::string& name);

}  // namespace fir
