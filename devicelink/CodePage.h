// Text as the box holds it.
//
// Text that goes into a flash image, a record or onto the serial line is
// stored in the box's code page: single-byte Windows-1252 by default, GBK on
// boxes for Chinese markets. The screen, paths and settings are UTF-8. This is
// the one place that converts between the two (with iconv).
//
// The code page is a setting: corvane.ini, section [STB], key CodePage
// (for example "WINDOWS-1252" or "GBK"; case and blanks do not matter).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class CodePage {
public:
    // Windows-1252.
    CodePage();
    // A code page by name; an unknown name leaves the object invalid.
    explicit CodePage(std::string_view name);

    // The code page named in corvane.ini ([STB] CodePage), else Windows-1252.
    // An unknown name falls back to Windows-1252 and is reported in `note`.
    static CodePage from_settings(std::string* note = nullptr);
    // The code pages offered to the user, canonical names.
    static const std::vector<std::string>& known();

    bool valid() const { return m_index >= 0; }
    const std::string& name() const;
    // The longest byte sequence of one character (1, or 2 for GBK).
    int max_char_bytes() const;

    // UTF-8 to box bytes. False when the text is not valid UTF-8 or holds a
    // character the code page cannot hold; `bad` then receives that character
    // (as UTF-8) so that the message can name it.
    bool to_box(std::string_view utf8, std::string& out, std::string* bad = nullptr) const;
    // Box bytes to UTF-8 for the screen. A byte the code page does not define
    // shows as U+FFFD, so the screen text may not convert back: keep the
    // original bytes of a field the user did not touch.
    std::string to_screen(std::string_view bytes) const;
    // True when to_screen() of these bytes converts back to the same bytes.
    bool round_trips(std::string_view bytes) const;

    // The longest prefix of `bytes` of at most `max` bytes that does not cut
    // a character in two (for fixed-width fields).
    size_t fit(std::string_view bytes, size_t max) const;

private:
    int m_index = -1;
};

}  // namespace kv
