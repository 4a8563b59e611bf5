#include "PortChoice.h"

#include "SerialMonitorService.h"
#include "VirtualPorts.h"

namespace connection {

std::vector<PortChoice> list_port_choices(CSerialMonitorSerivce* svc)
{
    std::vector<PortChoice> out;
    if (!svc)
        return out;
    for (const std::string& path : kv::virtual_stb_ports())
        svc->SMS_AddPort(path);
    int count = 0;
    std::vector<serialport_info_tag> info;
    svc->SMS_SearchAllSerialPorts(&count, &info);
    for (const auto& p : info)
        out.push_back({p.name, port_label(p.name, p.friendly_name)});
    return out;
}

std::string port_label(const std::string& path, const std::string& friendly)
{
    if (friendly.empty() || friendly == path)
        return path;
    return friendly + "  (" + path + ")";
}

}  // namespace connection
