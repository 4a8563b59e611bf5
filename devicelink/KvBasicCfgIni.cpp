#include "KvBasicCfgIni.h"
#include "FileOps.h"

#include "Text.h"

#include "ProgramFolders.h"
#include "kvcrc.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string trim(const std::string& s) { return kv::trimmed(s, kv::kWhiteSpace); }

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

int CKvBasicCfgIni::SetFileName(const std::string& path)
{
    m_values.clear();
    std::ifstream f(kv::file_path(path), std::ios::binary);
    if (!f)
        return 0;
    std::stringstream ss;
    ss << f.rdbuf();
    LoadFromText(ss.str());
    return 1;
}

void CKvBasicCfgIni::LoadFromText(const std::string& text)
{
    m_values.clear();
    std::string section;
    std::istringstream in(text);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            // A byte-order mark written by some editors.
            if (line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
                static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF)
                line.erase(0, 3);
            first = false;
        }
        std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            section = lower(trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = lower(trim(t.substr(0, eq)));
        if (key.empty())
            continue;
        std::string value = line.substr(line.find('=') + 1);
        // Keep inner blanks as written; drop the line end only.
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
            value.pop_back();
        auto& sec = m_values[section];
        if (sec.find(key) == sec.end())  // the first occurrence wins
            sec[key] = value;
    }
}

std::string CKvBasicCfgIni::GetValue(const std::string& section, const std::string& key) const
{
    auto s = m_values.find(lower(trim(section)));
    if (s == m_values.end())
        return std::string();
    auto k = s->second.find(lower(trim(key)));
    if (k == s->second.end())
        return std::string();
    return k->second;
}

std::string CKvBasicCfgIni::get_cur_root_directory() { return kv::data_directory(); }

std::string CKvBasicCfgIni::path_in_root(const std::string& name)
{
    std::string root = get_cur_root_directory();
    if (root.empty() || root.back() != '/')
        root += '/';
    return root + name;
}

void CKvBasicCfgIni::crc_setup_fast_lut(uint32_t table[256]) { kv::crc_setup_fast_lut(table); }

uint32_t CKvBasicCfgIni::crc_fast_calculate(const uint32_t table[256], uint32_t start, const void* data, size_t len)
{
    return kv::crc_fast_calculate(table, start, data, len);
}
