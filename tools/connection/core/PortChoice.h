// The ports the "Com_Connection" tab offers, as `corvane-cli ports` lists
// them: the virtual STBs' pseudo-terminals (kv::virtual_stb_ports(), the one
// finder both use) are made known to the serial service, then the service
// searches every port it can see.
#pragma once

#include <string>
#include <vector>

class CSerialMonitorSerivce;

namespace connection {

struct PortChoice {
    std::string path;  // what the service opens
    std::string label;  // what the list shows: "friendly name  (path)", or the path alone
};

// Every port `svc` can see once the virtual STBs' ports are added.
std::vector<PortChoice> list_port_choices(CSerialMonitorSerivce* svc);

// The list entry of a port with the name the system gives it.
std::string port_label(const std::string& path, const std::string& friendly);

}  // namespace connection
