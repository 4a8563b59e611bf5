// Windows only: UTF-8 (how every path and text is held here) to the wide
// strings the Win32 calls take, and back; the system's text for an error.
#pragma once

#include <string>
#include <string_view>

namespace kv {

std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);
// The system's message for a GetLastError() / WSAGetLastError() code.
std::string win32_error_text(unsigned long code);

}  // namespace kv
