#include "SystemPorts.h"

#include <libserialport.h>

namespace kv {

std::vector<std::pair<std::string, std::string>> system_serial_ports()
{
    struct sp_port** list = nullptr;
    std::vector<std::pair<std::string, std::string>> found;
    if (sp_list_ports(&list) == SP_OK && list) {
        for (int i = 0; list[i]; ++i) {
            const char* name = sp_get_port_name(list[i]);
            const char* desc = sp_get_port_description(list[i]);
            if (name)
                found.emplace_back(name, desc && *desc ? desc : name);
        }
        sp_free_port_list(list);
    }
    return found;
}

}  // namespace kv
