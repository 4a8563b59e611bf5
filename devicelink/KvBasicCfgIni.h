// Settings file "corvane.ini" of the program folder, and the CRC helper.
//
// Syntax: "[Section]" lines, "key=value" lines; ";" and "#" start comment
// lines. Section and key names match without regard to case; blanks around
// names are ignored. A value is returned as written (callers strip blanks).
#pragma once

#include <cstdint>
#include <map>
#include <string>

class CKvBasicCfgIni {
public:
    CKvBasicCfgIni() = default;

    // Names and reads the settings file. 0 when it cannot be read (every value
    // then stays empty), 1 otherwise.
    int SetFileName(const std::string& path);
    // The key's value, or an empty text when the section or key is missing.
    std::string GetValue(const std::string& section, const std::string& key) const;
    // Parses settings from memory (used for tests and embedded defaults).
    void LoadFromText(const std::string& text);

    // The data folder, without a trailing slash: $CORVANE_HOME when set, else
    // the folder of the running executable (an installed program: its
    // per-user data folder, see ProgramFolders.h).
    static std::string get_cur_root_directory();
    // Path of `name` in the program folder.
    static std::string path_in_root(const std::string& name);

    static void crc_setup_fast_lut(uint32_t table[256]);
    static uint32_t crc_fast_calculate(const uint32_t table[256], uint32_t start, const void* data, size_t len);

private:
    std::map<std::string, std::map<std::string, std::string>> m_values;  // lower-case names
};
