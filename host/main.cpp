// corvane: the workbench. Loads the tool plug-ins of its folder, opens one tab
// per tool and shows every tool's log lines in the "Output" pane.
#include "CorvaneApp.h"
#include "platform/CrashHandler.h"
#include "KvBasicLog.h"
#include "KvLogRecord.h"
#include "ProgramFolders.h"
#include "MainFrame.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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


// What the command line asks for, decided from argv alone: printing the help
// or the version and listing the plug-ins need no display, so they are
// settled before a QApplication (which insists on a platform) exists.
enum class StartKind { Text, ListPlugins, Screenshot, Workbench };

StartKind ScanArguments(int argc, char** argv)
{
    StartKind kind = StartKind::Workbench;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0)
            break;
        for (const char* text : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
            if (std::strcmp(a, text) == 0)
                return StartKind::Text;
        if (std::strcmp(a, "--list-plugins") == 0)
            kind = StartKind::ListPlugins;
        else if (kind == StartKind::Workbench &&
                 (std::strcmp(a, "--screenshot") == 0 || std::strncmp(a, "--screenshot=", 13) == 0))
            kind = StartKind::Screenshot;
    }
    return kind;
}

// The options QGuiApplication takes for itself ("-platform xcb", "-reverse"),
// with one or two dashes. A text-only start has no QGuiApplication to take
// them, so they are left out before the command line is parsed.
// How many words an option of Qt's takes: 0 for none of Qt's, 1 for a flag,
// 2 for one with its value.
int QtOptionWords(const char* a)
{
    if (a[0] != '-')
        return 0;
    const char* name = a[1] == '-' ? a + 2 : a + 1;
    for (const char* v : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
                          "qwindowtitle", "display", "geometry", "style", "stylesheet", "session", "title", "icon"})
        if (std::strcmp(name, v) == 0)
            return 2;
    for (const char* f : {"reverse", "widgetcount", "nograb", "dograb", "sync"})
        if (std::strcmp(name, f) == 0)
            return 1;
    return 0;
}

std::vector<char*> WithoutQtOptions(int argc, char** argv)
{
    std::vector<char*> kept;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--") == 0) {
            kept.insert(kept.end(), argv + i, argv + argc);
            break;
        }
        const int words = i > 0 ? QtOptionWords(argv[i]) : 0;
        if (words)
            i += words - 1;
        else
            kept.push_back(argv[i]);
    }
    kept.push_back(nullptr);
    return kept;
}

bool IsSet(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v;
}

bool HasDisplay() { return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"); }

// A platform was chosen, or a display is there for the default one.
bool HasPlatform(int argc, char** argv)
{
    if (IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

struct Options {
    QCommandLineOption version{QStringList{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Print the version and exit.")};
    QCommandLineOption list{
        QStringLiteral("list-plugins"),
        QStringLiteral("List the plug-in and data folders, the libraries found and which are tool plug-ins.")};
    QCommandLineOption shot{QStringLiteral("screenshot"),
                            QStringLiteral("Start up, render the main window into the PNG <file> and exit."),
                            QStringLiteral("file")};
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("Offer the serial port <path> (e.g. a pseudo-terminal, or a serial server's "
                                           "rfc2217://HOST:PORT or socket://HOST:PORT); repeatable."),
                            QStringLiteral("path")};
    QCommandLineOption open{QStringLiteral("open"),
                            QStringLiteral("Open the serial port <path> at start (115200 8N1)."),
                            QStringLiteral("path")};
    QCommandLineOption tab{QStringLiteral("tab"),
                           QStringLiteral("Bring the tool tab titled <title> (e.g. UPG) to the front at start."),
                           QStringLiteral("title")};
};

void SetUpParser(QCommandLineParser& parser, const Options& o)
{
    parser.setApplicationDescription(QStringLiteral(
        "Corvane workbench for set-top boxes. Tool plug-ins (*.so) are loaded from the folder of this\n"
        "program (and, when installed, from <prefix>/lib/corvane/plugins). corvane.ini, the STB-side\n"
        "files and the daily logs live in the data folder: $CORVANE_HOME when set, else the program's\n"
        "folder (installed: ~/.local/share/corvane). Extra serial ports (pseudo-terminals) may also be\n"
        "named in $CORVANE_PORTS, separated by ':' (a rfc2217:// or socket:// port keeps its own colons).\n"
        "--help, --version and --list-plugins need no display."));
    parser.addHelpOption();
    for (const QCommandLineOption* opt : {&o.version, &o.list, &o.shot, &o.port, &o.open, &o.tab})
        parser.addOption(*opt);
}

void NameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationVersion(AboutVersionText().mid(9));
}

// --help, --version, or a start without a display: text only, on a core
// application. The help and an unknown option end the program in process().
int PrintText(int argc, char** argv, bool display)
{
    QCoreApplication core(argc, argv);
    NameApplication();
    QCommandLineParser parser;
    Options o;
    SetUpParser(parser, o);
    parser.process(core);
    if (!display) {
        std::fprintf(stderr, "corvane: no display to open the workbench on (DISPLAY and WAYLAND_DISPLAY are unset); "
                             "--help, --version, --list-plugins and --screenshot work without one, "
                             "or set QT_QPA_PLATFORM=offscreen\n");
        return 1;
    }
    std::printf("%s\n", AboutVersionText().toUtf8().constData());
    return 0;
}

// The libraries of the plug-in folders and what each is. Views are created
// once each for their titles, offscreen unless a platform was named.
[[noreturn]] void ListPlugins()
{
    // Views may look for the serial service when they are created; what they
    // log then is no part of the list.
    kv::log_set_fallback(kv::LogFallback::None);
    CSerialMonitorSerivce sms;
    const bool up = sms.SMS_Init() != 0;
    if (up)
        kv::set_current_serial_service(&sms);
    const QString text = DescribePlugins(kv::plugin_directories());
    std::fputs(text.toUtf8().constData(), stdout);
    if (up) {
        kv::set_current_serial_service(nullptr);
        sms.SMS_Deinit();
    }
    std::fflush(stdout);
    std::_Exit(0);  // plug-in libraries stay loaded; skip their teardown
}

void TakeScreenshot(CCorvaneApp& corvane, const QString& shot)
{
    QTimer::singleShot(300, qApp, [&corvane, shot] {
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

int RunWorkbench(QApplication& app, const QCommandLineParser& parser, const Options& o, StartOptions opt)
{
    const QString shot = parser.value(o.shot);
    if (!shot.isEmpty()) {
        opt.single_instance = false;  // a picture can be taken beside a running workbench
        opt.quiet = true;
    }
    CCorvaneApp corvane;
    if (!corvane.InitInstance(opt)) {
        std::fprintf(stderr, "corvane: %s\n", corvane.InitError().c_str());
        return 1;
    }
    const QString tab = parser.value(o.tab);
    if (!tab.isEmpty()) {
        const int index = int(corvane.MainFrame()->TabTitles().indexOf(tab));
        if (index < 0) {
            std::fprintf(stderr, "corvane: no tool tab titled %s\n", tab.toUtf8().constData());
            return 1;
        }
        corvane.MainFrame()->OnToolCommand(57685 + index);
    }
    if (!shot.isEmpty())
        TakeScreenshot(corvane, shot);
    const int rc = app.exec();
    corvane.ExitInstance();
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    // Before anything else: a crash leaves "minidump.dmp" behind.
    InstallCrashHandler();
    UseQuietRuntimeFolder();
    g_qtHandler = qInstallMessageHandler(DropOffscreenChatter);

    const StartKind kind = ScanArguments(argc, argv);
    std::vector<char*> plain = WithoutQtOptions(argc, argv);
    const int plain_count = static_cast<int>(plain.size()) - 1;
    if (kind == StartKind::Text)
        return PrintText(plain_count, plain.data(), true);
    if (!HasPlatform(argc, argv)) {
        if (kind == StartKind::Workbench)
            return PrintText(plain_count, plain.data(), false);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // a list or a picture needs no screen
    } else if (kind == StartKind::ListPlugins && !HasDisplay()) {
        // A platform named for a display that is not there: the list needs none.
        argc = plain_count;
        argv = plain.data();
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    QApplication app(argc, argv);
    NameApplication();
    QCommandLineParser parser;
    Options o;
    SetUpParser(parser, o);
    parser.process(app);

    std::string dataError;
    if (!kv::prepare_data_directory(&dataError))
        std::fprintf(stderr, "corvane: %s\n", dataError.c_str());
    if (parser.isSet(o.list))
        ListPlugins();

    StartOptions opt;
    opt.extra_ports = parser.values(o.port);  // $CORVANE_PORTS is read by the serial service itself
    opt.open_port = parser.value(o.open);
    const QString platform = QGuiApplication::platformName();
    opt.quiet = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    return RunWorkbench(app, parser, o, opt);
}
