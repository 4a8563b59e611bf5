// COM ports on Windows: every value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
// names one port ("COM1"), keyed by its driver's device ("\Device\Serial0").
#include "SystemPorts.h"

#include "WinText.h"

#include <algorithm>

#include <windows.h>

namespace kv {

namespace {

// COM2 before COM10.
bool by_number(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b)
{
    if (a.first.size() != b.first.size())
        return a.first.size() < b.first.size();
    return a.first < b.first;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> system_serial_ports()
{
    std::vector<std::pair<std::string, std::string>> found;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return found;
    for (DWORD i = 0; i < 256; ++i) {
        wchar_t device[256], port[64];
        DWORD device_len = 256, port_size = sizeof(port), type = 0;
        const LONG r = RegEnumValueW(key, i, device, &device_len, nullptr, &type, reinterpret_cast<BYTE*>(port),
                                     &port_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ || port_size < sizeof(wchar_t))
            continue;
        const std::string name = wide_to_utf8(std::wstring_view(port, wcsnlen(port, port_size / sizeof(wchar_t))));
        const std::string dev = wide_to_utf8(std::wstring_view(device, device_len));
        if (!name.empty())
            found.emplace_back(name, dev.empty() ? name : name + " (" + dev + ")");
    }
    RegCloseKey(key);
    std::sort(found.begin(), found.end(), by_number);
    return found;
}

}  // namespace kv
