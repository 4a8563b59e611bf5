// corvane: the workbench. Loads the tool plug-ins of its folder, opens one tab
// per tool and shows every tool's log lines in the "Output" pane.
#include "CorvaneApp.h"
#include "CrashHandler.h"
#include "KvLogRecord.h"
#include "ProgramFolders.h"
#include "MainFrame.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

using namespace corvane;

namespace {

// Without $XDG_RUNTIME_DIR Qt warns and picks a folder of its own; hand it the
// per-user folder of mode 0700 that the log socket uses anyway.
void UseQuietRuntimeFolder()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return;
    const std::string dir = kv::log_socket_dir();
    if (!dir.empty())
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

// The offscreen platform (screenshots, tests, CI) says on every window that it
// cannot pass size hints on; that line tells a user nothing.
QtMessageHandler g_qtHandler = nullptr;

void DropOffscreenChatter(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    if (msg.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    if (g_qtHandler)
        g_qtHandler(type, ctx, msg);
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything else: a crash leaves "minidump.dmp" behind.
    InstallCrashHandler();
    UseQuietRuntimeFolder();
    g_qtHandler = qInstallMessageHandler(DropOffscreenChatter);

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Corvane"));
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setApplicationVersion(QStringLiteral("%1").arg(AboutVersionText().mid(9)));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Corvane workbench for set-top boxes. Tool plug-ins (*.so) are loaded from the folder of this\n"
        "program (and, when installed, from <prefix>/lib/corvane/plugins). corvane.ini, the STB-side\n"
        "files and the daily logs live in the data folder: $CORVANE_HOME when set, else the program's\n"
        "folder (installed: ~/.local/share/corvane). Extra serial ports (pseudo-terminals) may also be\n"
        "named in $CORVANE_PORTS, separated by ':' (a rfc2217:// or socket:// port keeps its own colons)."));
    parser.addHelpOption();
    QCommandLineOption versionOpt(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                  QStringLiteral("Print the version and exit."));
    QCommandLineOption listOpt(QStringLiteral("list-plugins"),
                               QStringLiteral("List the plug-in and data folders, the libraries found and which are tool plug-ins."));
    QCommandLineOption shotOpt(QStringLiteral("screenshot"),
                               QStringLiteral("Start up, render the main window into the PNG <file> and exit."),
                               QStringLiteral("file"));
    QCommandLineOption portOpt(QStringLiteral("port"),
                               QStringLiteral("Offer the serial port <path> (e.g. a pseudo-terminal, or a serial server's "
                                              "rfc2217://HOST:PORT or socket://HOST:PORT); repeatable."),
                               QStringLiteral("path"));
    QCommandLineOption openOpt(QStringLiteral("open"),
                               QStringLiteral("Open the serial port <path> at start (115200 8N1)."),
                               QStringLiteral("path"));
    QCommandLineOption tabOpt(QStringLiteral("tab"),
                              QStringLiteral("Bring the tool tab titled <title> (e.g. UPG) to the front at start."),
                              QStringLiteral("title"));
    parser.addOption(versionOpt);
    parser.addOption(listOpt);
    parser.addOption(shotOpt);
    parser.addOption(portOpt);
    parser.addOption(openOpt);
    parser.addOption(tabOpt);
    parser.process(app);

    if (parser.isSet(versionOpt)) {
        std::printf("%s\n", AboutVersionText().toUtf8().constData());
        return 0;
    }
    std::string dataError;
    if (!kv::prepare_data_directory(&dataError))
        std::fprintf(stderr, "corvane: %s\n", dataError.c_str());

    StartOptions opt;
    opt.extra_ports = parser.values(portOpt);  // $CORVANE_PORTS is read by the serial service itself
    opt.open_port = parser.value(openOpt);
    const QString platform = QGuiApplication::platformName();
    opt.quiet = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");

    if (parser.isSet(listOpt)) {
        // Views may look for the serial service when they are created.
        CSerialMonitorSerivce sms;
        const bool up = sms.SMS_Init() != 0;
        if (up)
            kv::set_current_serial_service(&sms);
        const QString text = DescribePlugins(kv::plugin_directories());
        std::fputs(text.toUtf8().constData(), stdout);
        std::fflush(stdout);
        if (up) {
            kv::set_current_serial_service(nullptr);
            sms.SMS_Deinit();
        }
        std::fflush(stdout);
        std::_Exit(0);  // plug-in libraries stay loaded; skip their teardown
    }

    const QString shot = parser.value(shotOpt);
    if (!shot.isEmpty()) {
        opt.single_instance = false;  // a picture can be taken beside a running workbench
        opt.quiet = true;
    }

    int rc = 0;
    {
        CCorvaneApp corvane;
        if (!corvane.InitInstance(opt)) {
            std::fprintf(stderr, "corvane: %s\n", corvane.InitError().c_str());
            return 1;
        }
        const QString tab = parser.value(tabOpt);
        if (!tab.isEmpty()) {
            const int index = int(corvane.MainFrame()->TabTitles().indexOf(tab));
            if (index < 0) {
                std::fprintf(stderr, "corvane: no tool tab titled %s\n", tab.toUtf8().constData());
                return 1;
            }
            corvane.MainFrame()->OnToolCommand(57685 + index);
        }
        if (!shot.isEmpty()) {
            QTimer::singleShot(300, &app, [&] {
                QApplication::processEvents();
                const QPixmap pix = corvane.MainFrame()->grab();
                const bool ok = !pix.isNull() && pix.save(shot, "PNG");
                if (!ok)
                    std::fprintf(stderr, "corvane: cannot write %s\n", shot.toUtf8().constData());
                else
                    std::printf("%s\n", shot.toUtf8().constData());
                QApplication::exit(ok ? 0 : 1);
            });
        }
        rc = app.exec();
        corvane.ExitInstance();
    }
    return rc;
}
