// corvane-cli ports: lists the serial ports the service can see, and the
// virtual STBs' pseudo-terminals among them.
#include "CliCommand.h"

#include "SerialMonitorService.h"
#include "VirtualPorts.h"

#include <cstdio>

static CliCommandRegistrar reg([](CLI::App& app) {
    auto* sub = app.add_subcommand("ports", "List the serial ports (a running virtual STB's port included)");
    sub->callback([] {
        CSerialMonitorSerivce* svc = kv::current_serial_service();
        for (const std::string& p : kv::virtual_stb_ports())
            svc->SMS_AddPort(p);
        int count = 0;
        std::vector<serialport_info_tag> info;
        svc->SMS_SearchAllSerialPorts(&count, &info);
        if (count == 0)
            std::printf("no serial ports found\n");
        for (int i = 0; i < count; ++i)
            std::printf("%d\t%s\t%s%s\n", i, info[i].name.c_str(), info[i].friendly_name.c_str(),
                        kv::is_virtual_stb_port(info[i].name) ? " (virtual STB)" : "");
    });
});
