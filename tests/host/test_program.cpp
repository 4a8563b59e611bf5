// The corvane program itself: command line, screenshot, single instance.
#include "HostTestEnv.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// A program folder holding the Com_Connection tool and an outside library.
QString MakeHome(const char* name, bool with_tools)
{
    const QString home = hosttest::TempRoot() + QLatin1Char('/') + QLatin1String(name);
    QDir().mkpath(home);
    if (with_tools) {
        QFile::copy(QStringLiteral(HOST_TEST_PLUGIN_DIR "/conn/libconnection.so"),
                    home + QStringLiteral("/libconnection.so"));
        QFile::copy(QStringLiteral(HOST_TEST_PLUGIN_DIR "/outside/libplain_a.so"),
                    home + QStringLiteral("/libzlib_like.so"));
    }
    return home;
}

struct ProgramRun {
    int code = -1;
    QString out, err;
};

// `display` false: a machine without any display and no platform chosen.
ProgramRun Corvane(const QStringList& args, const QString& home, int ms = 30000, bool display = true)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_HOME"), home);
    if (display) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        for (const char* var : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QLatin1String(var));
    }
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(home);
    p.start(QStringLiteral(CORVANE_EXE), args);
    ProgramRun r;
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

TEST(Program, HelpVersionAndPluginList)
{
    const QString home = MakeHome("prog-list", true);
    ProgramRun v = Corvane({QStringLiteral("--version")}, home);
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.trimmed(), QStringLiteral("Corvane V" CORVANE_TEST_VERSION));

    ProgramRun h = Corvane({QStringLiteral("--help")}, home);
    EXPECT_EQ(h.code, 0);
    for (const char* opt : {"--list-plugins", "--screenshot", "--port", "--version"})
        EXPECT_TRUE(h.out.contains(QLatin1String(opt))) << opt;

    // Plug-ins come from the program's folder; CORVANE_HOME holds data only,
    // so libraries lying there are not loaded and the tools are all there.
    ProgramRun l = Corvane({QStringLiteral("--list-plugins")}, home);
    EXPECT_EQ(l.code, 0) << l.err.toStdString();
    EXPECT_TRUE(l.out.contains(QStringLiteral("Plug-in folder: " CORVANE_TEST_BIN_DIR "\n"))) << l.out.toStdString();
    EXPECT_TRUE(l.out.contains(QStringLiteral("Data folder: ") + home + QLatin1Char('\n'))) << l.out.toStdString();
    for (const char* tab : {"Com_Connection", "UPG", "Tessel", "PresetData"})
        EXPECT_TRUE(l.out.contains(QStringLiteral("tab \"%1\"").arg(QLatin1String(tab)))) << tab << l.out.toStdString();
    EXPECT_FALSE(l.out.contains(QStringLiteral("libzlib_like.so"))) << l.out.toStdString();
    EXPECT_TRUE(l.err.isEmpty()) << l.err.toStdString();

    ProgramRun bad = Corvane({QStringLiteral("--no-such-option")}, home);
    EXPECT_NE(bad.code, 0);
}

TEST(Program, TextOptionsNeedNoDisplay)
{
    const QString home = MakeHome("prog-nodisplay", true);
    ProgramRun v = Corvane({QStringLiteral("--version")}, home, 30000, false);
    EXPECT_EQ(v.code, 0) << v.err.toStdString();
    EXPECT_EQ(v.out.trimmed(), QStringLiteral("Corvane V" CORVANE_TEST_VERSION));

    ProgramRun h = Corvane({QStringLiteral("--help")}, home, 30000, false);
    EXPECT_EQ(h.code, 0) << h.err.toStdString();
    EXPECT_TRUE(h.out.contains(QLatin1String("--list-plugins"))) << h.out.toStdString();

    ProgramRun l = Corvane({QStringLiteral("--list-plugins")}, home, 30000, false);
    EXPECT_EQ(l.code, 0) << l.err.toStdString();
    EXPECT_TRUE(l.out.contains(QStringLiteral("tab \"UPG\""))) << l.out.toStdString();

    const QString png = home + QStringLiteral("/nd.png");
    ProgramRun s = Corvane({QStringLiteral("--screenshot"), png}, home, 30000, false);
    EXPECT_EQ(s.code, 0) << s.err.toStdString();
    EXPECT_FALSE(QImage(png).isNull());

    // The workbench itself says why it cannot start instead of aborting in Qt;
    // a mistyped option is still named as such.
    ProgramRun w = Corvane({}, home, 30000, false);
    EXPECT_EQ(w.code, 1);
    EXPECT_TRUE(w.err.contains(QLatin1String("no display"))) << w.err.toStdString();
    EXPECT_FALSE(QFile::exists(home + QStringLiteral("/minidump.dmp")));
    ProgramRun bad = Corvane({QStringLiteral("--no-such-option")}, home, 30000, false);
    EXPECT_EQ(bad.code, 1);
    EXPECT_TRUE(bad.err.contains(QLatin1String("no-such-option"))) << bad.err.toStdString();
}

TEST(Program, QtOptionsAndAServedPortLeaveTheTextAlone)
{
    const QString home = MakeHome("prog-qtopts", true);
    // A platform named for a display that is not there.
    const QString xcb = QStringLiteral("xcb");
    ProgramRun h = Corvane({QStringLiteral("-platform"), xcb, QStringLiteral("--help")}, home, 30000, false);
    EXPECT_EQ(h.code, 0) << h.err.toStdString();
    EXPECT_TRUE(h.out.contains(QLatin1String("--list-plugins"))) << h.out.toStdString();
    ProgramRun v = Corvane({QStringLiteral("--platform"), xcb, QStringLiteral("--version")}, home, 30000, false);
    EXPECT_EQ(v.code, 0) << v.err.toStdString();
    EXPECT_EQ(v.out.trimmed(), QStringLiteral("Corvane V" CORVANE_TEST_VERSION));

    // With a port to find, the tools' start-up lines stay out of the list.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QByteArray ports = qgetenv("CORVANE_PORTS");
    qputenv("CORVANE_PORTS", ::ptsname(master));
    ProgramRun l = Corvane({QStringLiteral("-platform"), xcb, QStringLiteral("--list-plugins")}, home, 30000, false);
    qputenv("CORVANE_PORTS", ports);
    ::close(master);
    EXPECT_EQ(l.code, 0) << l.err.toStdString();
    EXPECT_TRUE(l.out.contains(QStringLiteral("tab \"Remote_Ctrl\""))) << l.out.toStdString();
    for (const QString& line : l.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        EXPECT_TRUE(line.startsWith(QLatin1String("Plug-in folder: ")) ||
                    line.startsWith(QLatin1String("Data folder: ")) || line.startsWith(QLatin1Char('/')) ||
                    line.contains(QLatin1String(" libraries, ")))
            << line.toStdString();
}

TEST(Program, ScreenshotShowsTheFrame)
{
    const QString home = MakeHome("prog-shot", true);
    const QString png = home + QStringLiteral("/out.png");
    ProgramRun s = Corvane({QStringLiteral("--screenshot"), png}, home);
    ASSERT_EQ(s.code, 0) << s.err.toStdString();
    QImage img(png);
    ASSERT_FALSE(img.isNull());
    EXPECT_GT(img.width(), 400);
    EXPECT_GT(img.height(), 300);

    // Without any tool the frame still comes up.
    const QString empty = MakeHome("prog-empty", false);
    ProgramRun e = Corvane({QStringLiteral("--screenshot"), empty + QStringLiteral("/e.png")}, empty);
    EXPECT_EQ(e.code, 0) << e.err.toStdString();
    EXPECT_FALSE(QImage(empty + QStringLiteral("/e.png")).isNull());

    // An unwritable target is a failure, not a silent success.
    ProgramRun w = Corvane({QStringLiteral("--screenshot"), QStringLiteral("/proc/no/such/dir/x.png")}, empty);
    EXPECT_NE(w.code, 0);

    // A tab that no tool has is refused rather than ignored.
    ProgramRun t = Corvane({QStringLiteral("--tab"), QStringLiteral("NoSuchTool"), QStringLiteral("--screenshot"),
                            home + QStringLiteral("/t.png")},
                           home);
    EXPECT_NE(t.code, 0);
    EXPECT_TRUE(t.err.contains(QStringLiteral("no tool tab titled NoSuchTool"))) << t.err.toStdString();
}

TEST(Program, OpensTheNamedPortAtStart)
{
    const QString home = MakeHome("prog-open", true);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    ProgramRun ok = Corvane(
        {QStringLiteral("--open"), slave, QStringLiteral("--screenshot"), home + QStringLiteral("/o.png")}, home);
    EXPECT_EQ(ok.code, 0);
    EXPECT_FALSE(ok.err.contains(QStringLiteral("cannot open"))) << ok.err.toStdString();
    ::close(master);

    ProgramRun bad = Corvane({QStringLiteral("--open"), QStringLiteral("/dev/no-such-tty"),
                              QStringLiteral("--screenshot"), home + QStringLiteral("/b.png")},
                             home);
    EXPECT_EQ(bad.code, 0);  // the workbench still comes up
    EXPECT_TRUE(bad.err.contains(QStringLiteral("cannot open /dev/no-such-tty"))) << bad.err.toStdString();
}

TEST(Program, SecondStartRaisesTheFirstAndExits)
{
    const QString home = MakeHome("prog-single", false);
    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_HOME"), home);
    first.setProcessEnvironment(env);
    first.start(QStringLiteral(CORVANE_EXE), {});
    ASSERT_TRUE(first.waitForStarted());
    const QString guard =
        QString::fromUtf8(qgetenv("XDG_RUNTIME_DIR")) + QStringLiteral("/corvane/SingleInstanceChecker_MMF_CORVANE");
    ASSERT_TRUE(hosttest::WaitFor([&] { return QFile::exists(guard); }, 20000));

    ProgramRun second = Corvane({}, home, 20000);
    EXPECT_EQ(second.code, 1);
    EXPECT_TRUE(second.err.contains(QStringLiteral("already runs"))) << second.err.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(5000)) {
        first.kill();
        first.waitForFinished();
    }
}

}  // namespace
