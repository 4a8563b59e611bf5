// The one conversion under kv::CodePage: iconv on POSIX, the Win32 code page
// functions on Windows. `from` and `to` are the names iconv knows ("UTF-8",
// "WINDOWS-1252", "GBK", ...).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// Converts all of `in`. Returns false at the first sequence that does not
// convert and reports its offset in the input in *bad_at.
bool convert_text(const char* from, const char* to, std::string_view in, std::string& out, size_t* bad_at);

}  // namespace kv
