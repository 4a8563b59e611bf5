#include "FirLanguages.h"

#include "CodePage.h"
#include "FirFields.h"
#include "KvBasicCfgIni.h"

#include <tinyxml2.h>

namespace fir {

namespace {

bool valid_utf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
        if (n == 4 || i + n >= s.size())
            return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n + 1;
    }
    return true;
}

// The entry's text as the screen shows it: UTF-8 as written, other bytes
// taken in the box's code page.
std::string entry_text(const tinyxml2::XMLElement* e)
{
    const tinyxml2::XMLNode* child = e->FirstChild();
    std::string text = child && child->Value() ? child->Value() : "";
    if (valid_utf8(text))
        return text;
    return kv::CodePage::from_settings().to_screen(text);
}

}  // namespace

std::string language_file_path() { return CKvBasicCfgIni::path_in_root("config.birch.xml"); }

LanguageFile read_language_list(const std::string& path, std::vector<std::string>* names, std::string* detail)
{
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        if (detail)
            *detail = doc.ErrorStr() ? doc.ErrorStr() : "cannot read " + path;
        return LanguageFile::Missing;
    }
    std::vector<std::string> list;
    const tinyxml2::XMLElement* level1 = doc.FirstChildElement();
    const tinyxml2::XMLElement* level2 = level1 ? level1->FirstChildElement() : nullptr;
    for (const tinyxml2::XMLElement* e = level2 ? level2->FirstChildElement() : nullptr; e;
         e = e->NextSiblingElement())
        list.push_back(entry_text(e));
    *names = std::move(list);
    return LanguageFile::Read;
}

std::vector<std::string> language_captions(const std::vector<std::string>& list)
{
    std::vector<std::string> captions = default_language_captions();
    if (list.size() >= static_cast<size_t>(kLanguageBoxes))
        captions.assign(list.begin(), list.begin() + kLanguageBoxes);
    const auto& extra = extra_language_captions();
    captions.insert(captions.end(), extra.begin(), extra.end());
    return captions;
}

}  // namespace fir
