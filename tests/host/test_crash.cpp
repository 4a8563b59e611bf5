// A fatal signal leaves "minidump.dmp" in the current folder.
#include "platform/CrashHandler.h"
#include "HostTestEnv.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

namespace {

TEST(CrashHandler, FatalSignalWritesDumpAndEndsTheProcess)
{
    const QString dir = hosttest::TempRoot() + QStringLiteral("/crash");
    QDir().mkpath(dir);
    QFile old(dir + QStringLiteral("/minidump.dmp"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'o'));  // an older, longer dump is overwritten
    old.close();

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::chdir(dir.toLocal8Bit().constData()) != 0)
            ::_exit(3);
        corvane::InstallCrashHandler();
        ::raise(SIGSEGV);
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    QFile dump(dir + QStringLiteral("/minidump.dmp"));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    const QByteArray text = dump.readAll();
    EXPECT_TRUE(text.startsWith("Corvane crash dump\nsignal: 11 (SIGSEGV)")) << text.left(200).constData();
    EXPECT_TRUE(text.contains("back trace:"));
    EXPECT_FALSE(text.contains("ooooo"));
}

}  // namespace
