#include "CorvaneApp.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "MainFrame.h"
#include "OutputWnd.h"
#include "ProgramFolders.h"
#include "SingleInstance.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

#include <cstdio>

namespace corvane {

CCorvaneApp::CCorvaneApp() = default;

CCorvaneApp::~CCorvaneApp() { ExitInstance(); }

int CCorvaneApp::InitInstance(const StartOptions& opt)
{
    // 1. One workbench per user.
    if (opt.single_instance) {
        m_guard = std::make_unique<SingleInstanceGuard>();
        if (m_guard->AskRunningInstanceToRaise()) {
            m_initError = "Corvane already runs; its window was brought to the front";
            return 0;
        }
    }

    // 3. The serial service comes first; without it there is no workbench.
    if (!m_sms.SMS_Init()) {
        m_initError = "the serial service could not be started: " + m_sms.last_error();
        return 0;
    }
    m_smsUp = true;
    kv::set_current_serial_service(&m_sms);
    for (const QString& p : opt.extra_ports)
        if (!p.isEmpty())
            m_sms.SMS_AddPort(p.toStdString());
    if (!opt.open_port.isEmpty()) {
        serialport_config_tag cfg;
        cfg.port_index = m_sms.SMS_AddPort(opt.open_port.toStdString());
        cfg.baud_rate = 115200;
        if (cfg.port_index < 0 || !m_sms.SMS_OpenPort(cfg))
            std::fprintf(stderr, "corvane: cannot open %s: %s\n", opt.open_port.toUtf8().constData(),
                         m_sms.last_error().c_str());
    }

    // 6. The frame, with the output pane and its log server.
    m_frame = std::make_unique<CMainFrame>();
    std::string why;
    if (!m_frame->OutputPane()->StartServer({}, &why)) {
        std::fprintf(stderr, "corvane: Monitor Pipe start Error! (%s)\n", why.c_str());
        if (!opt.quiet)
            QMessageBox::warning(m_frame.get(), QStringLiteral("Corvane"),
                                 QStringLiteral("Monitor Pipe start Error!\n%1").arg(QString::fromStdString(why)));
    }

    // 8. Plug-ins and their tabs, the start tab active.
    // A library that does not load is skipped; the console says why, so a
    // tool never goes missing without a trace.
    std::vector<PluginProbe> probes;
    m_plugins.Discover(kv::plugin_directories(), &probes);
    for (const auto& p : probes)
        if (!p.loaded)
            kv_console_printf("%s cannot be loaded: %s\n", p.path.c_str(), p.error.c_str());
    std::vector<ToolTemplate> templates;
    for (size_t i = 0; i < m_plugins.size(); ++i)
        templates.push_back({m_plugins.at(i).view_class, QString::fromStdString(m_plugins.at(i).path)});
    m_frame->OpenTools(templates);

    // 9. Show.
    m_frame->show();

    // 10. Publish the guard.
    if (m_guard) {
        CMainFrame* frame = m_frame.get();
        m_guard->Publish([frame] { frame->RaiseToFront(); });
    }
    return 1;
}

int CCorvaneApp::ExitInstance()
{
    // Views first (they may still log and use the port), then the pane's
    // server, then the service; the plug-in libraries close last.
    m_frame.reset();
    m_guard.reset();
    if (m_smsUp) {
        m_sms.SMS_Deinit();
        if (kv::current_serial_service() == &m_sms)
            kv::set_current_serial_service(nullptr);
        m_smsUp = false;
    }
    m_plugins.LeaveLoadedAtExit();
    return 0;
}

QString DescribePlugins(const std::vector<std::string>& folders)
{
    QString out;
    for (const auto& folder : folders)
        out += QStringLiteral("Plug-in folder: %1\n").arg(QString::fromStdString(folder));
    out += QStringLiteral("Data folder: %1\n").arg(QString::fromStdString(kv::data_directory()));
    int tools = 0;
    const auto libs = PluginTable::ListLibraries(folders);
    for (const auto& path : libs) {
        void* h = nullptr;
        PluginProbe probe;
        const QMetaObject* meta = PluginTable::Probe(path, &h, &probe);
        QString line = QString::fromStdString(path) + QStringLiteral(": ");
        if (!probe.loaded) {
            line += QStringLiteral("cannot be loaded (%1)").arg(QString::fromStdString(probe.error));
        } else if (!probe.has_export) {
            line += QStringLiteral("not a plug-in (no MultiViewDll)");
        } else if (!meta) {
            line += QStringLiteral("not a plug-in (MultiViewDll gave no view class)");
        } else {
            QObject* obj = meta->newInstance(Q_ARG(QWidget*, nullptr));
            auto* view = qobject_cast<QWidget*>(obj);
            if (!view) {
                line += QStringLiteral("plug-in %1, but its view cannot be created")
                            .arg(QString::fromLatin1(meta->className()));
            } else {
                QString title = view->windowTitle();
                if (title.isEmpty())
                    title = QFileInfo(QString::fromStdString(path)).completeBaseName();
                line += QStringLiteral("plug-in %1, tab \"%2\"").arg(QString::fromLatin1(meta->className()), title);
                ++tools;
            }
            delete obj;
        }
        // A library whose view was created stays loaded: Qt may still hold
        // type information that lives in it until the program ends.
        (void)h;
        out += line + QLatin1Char('\n');
    }
    out += QStringLiteral("%1 librar%2, %3 plug-in%4\n")
               .arg(libs.size())
               .arg(libs.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"))
               .arg(tools)
               .arg(tools == 1 ? QString() : QStringLiteral("s"));
    return out;
}

}  // namespace corvane
