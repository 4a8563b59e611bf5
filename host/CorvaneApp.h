// The application object: owns the serial service, the plug-in table and the
// main frame, and runs start-up in its fixed order.
#pragma once

#include "PluginLoader.h"
#include "SerialMonitorService.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <string>

class CMainFrame;

namespace corvane {

class SingleInstanceGuard;

struct StartOptions {
    QStringList extra_ports;  // pseudo-terminals the enumeration cannot see
    QString open_port;  // a port to open at start (115200 8N1)
    bool single_instance = true;  // off for --screenshot
    bool quiet = false;  // no message boxes (offscreen, screenshots)
};

class CCorvaneApp {
public:
    CCorvaneApp();
    ~CCorvaneApp();

    // Start-up: guard, serial service, frame with the output pane, plug-ins
    // and tabs. 0 when start-up ends (a second instance, or no serial
    // service); 1 when the frame is up.
    int InitInstance(const StartOptions& opt);
    int ExitInstance();

    CMainFrame* MainFrame() const { return m_frame.get(); }
    CSerialMonitorSerivce& SerialService() { return m_sms; }
    const PluginTable& Plugins() const { return m_plugins; }
    // Why start-up ended, for the command line.
    std::string InitError() const { return m_initError; }

private:
    CSerialMonitorSerivce m_sms;
    PluginTable m_plugins;  // outlives the frame: views come from its libraries
    std::unique_ptr<CMainFrame> m_frame;
    std::unique_ptr<SingleInstanceGuard> m_guard;
    bool m_smsUp = false;
    std::string m_initError;
};

// The program folder's libraries and what each is, for --list-plugins.
// Needs a QApplication (titles come from creating each view once).
QString DescribePlugins(const std::vector<std::string>& folders);

}  // namespace corvane
