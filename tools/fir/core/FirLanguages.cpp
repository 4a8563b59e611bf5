#include "FirLanguages.h"

#include "CodePage.h"
#include "FirFields.h"
#include "KvBasicCfgIni.h"
#include "Text.h"

#include <tinyxml2.h>

namespace fir {

namespace {

// The entry's text as the screen shows it: UTF-8 as written, other bytes
// taken in the box's code page.
std::string entry_text(const tinyxml2::XMLElement* e)
{
    const tinyxml2::XMLNode* child = e->FirstChild();
    std::string text = child && child->Value() ? child->Value() : "";
    if (kv::valid_utf8(text))
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
    for (const tinyxml2::XMLElement* e = level2 ? level2->FirstChildElement() : nullptr; e; e = e->NextSiblingElement())
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
