// A virtual STB on a pseudo-terminal with the serial service opened on its
// port: what the suites that drive a box through the service talk to.
#pragma once

#include "SerialMonitorService.h"
#include "StbSim.h"

#include "WaitUntil.h"

#include <memory>
#include <string>

namespace testsupport {

class BoxRig {
public:
    std::unique_ptr<stbsim::Simulator> box;
    CSerialMonitorSerivce svc;

    // Starts a box with `o` and opens the service on its port at `baud`;
    // false with the reason in `error` when either fails.
    bool start(const stbsim::Options& o, std::string* error = nullptr, int baud = 115200)
    {
        box = std::make_unique<stbsim::Simulator>(o);
        std::string err;
        if (!box->start(&err))
            return fail(error, err);
        if (svc.SMS_Init() != 1)
            return fail(error, "the serial service did not start");
        serialport_config_tag cfg;
        cfg.port_index = svc.SMS_AddPort(box->port_path());
        if (cfg.port_index < 0)
            return fail(error, "the service took no port " + box->port_path());
        cfg.baud_rate = baud;
        if (svc.SMS_OpenPort(cfg) != 1)
            return fail(error, svc.last_error());
        return true;
    }
    std::string port_path() const { return box ? box->port_path() : std::string(); }
    // The service becomes the one the tool views use, until stop().
    void make_current()
    {
        kv::set_current_serial_service(&svc);
        m_current = true;
    }
    // Stops the box and closes the service; safe to call twice.
    void stop()
    {
        if (m_current)
            kv::set_current_serial_service(nullptr);
        m_current = false;
        if (box)
            box->stop();
        svc.SMS_Deinit();
    }
    ~BoxRig() { stop(); }

protected:
    bool m_current = false;
    static bool fail(std::string* error, const std::string& why)
    {
        if (error)
            *error = why;
        return false;
    }
};

}  // namespace testsupport
