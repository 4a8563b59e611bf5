// The language list of "config.birch.xml" in the program folder.
//
// The document's first element, its first element and that one's first
// element are the first language entry; the entry's following elements are
// the others, in order. Element names are not checked. The text of each
// entry is one language name. With at least nine names the first nine become
// the captions of the nine language boxes; with fewer the captions stay.
#pragma once

#include <string>
#include <vector>

namespace fir {

enum class LanguageFile { Read, Missing };

// "config.birch.xml" in the program folder.
std::string language_file_path();

// Reads the names. A file that is absent or not XML is Missing, and `names`
// is left as it was.
LanguageFile read_language_list(const std::string& path, std::vector<std::string>* names,
                                std::string* detail = nullptr);

// The thirteen box captions for a language list: its first nine names when
// it has at least nine, else the default nine; then the four Dogwood boxes.
std::vector<std::string> language_captions(const std::vector<std::string>& list);

}  // namespace fir
