// The "[OTA Streamer]" section of corvane.ini: which project types the tab
// offers, and the upgrade modes (ids and names) of its drop-downs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CKvBasicCfgIni;

namespace ota {

inline constexpr const char* kSettingsSection = "OTA Streamer";
inline constexpr const char* kDefaultProjectList = "DVBS,ABS,DSMCC";
inline constexpr const char* kDefaultModeIds = "0xFF,0x94,0x95,0x96,0xAC,0x9C,";
inline constexpr const char* kDefaultModeNames = "ALL,Tv logo,Radio logo,Ad logo,Biss key,Data base,";
inline constexpr size_t kMaxSettingLength = 99;

// Project kinds in the order of their pages.
enum OtaProject { kProjectDvbs = 0, kProjectAbs = 1, kProjectDsmcc = 2 };
const char* project_name(int project);

struct UpgMode {
    uint8_t id = 0;
    std::string name;
};

struct OtaStreamerSettings {
    std::vector<int> projects;  // kinds, in the order offered
    std::vector<UpgMode> modes;
};

// A value of the section: at most 99 characters, every space removed; the
// default (spaces kept) when the key is missing or empty.
std::string ota_setting(const CKvBasicCfgIni& ini, const std::string& key, const std::string& fallback);
OtaStreamerSettings read_ota_settings(const CKvBasicCfgIni& ini);

// The parts of a comma-separated list, empty ones kept in their places.
std::vector<std::string> split_list(const std::string& text);

}  // namespace ota
