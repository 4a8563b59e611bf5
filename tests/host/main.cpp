#include "HostTestEnv.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {
std::unique_ptr<QTemporaryDir> g_root;
}

QString hosttest::TempRoot() { return g_root->path(); }

int main(int argc, char** argv)
{
    // Headless always (also when ctest lists the tests).
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-hosttest-XXXXXX"));
    const QString root = g_root->path();
    for (const char* sub : {"run", "home", "config"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setenv("XDG_RUNTIME_DIR", qPrintable(root + QStringLiteral("/run")), 1);
    setenv("CORVANE_HOME", qPrintable(root + QStringLiteral("/home")), 1);
    setenv("XDG_CONFIG_HOME", qPrintable(root + QStringLiteral("/config")), 1);

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Corvane"));
    QApplication::setApplicationName(QStringLiteral("CorvaneTest"));
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    g_root.reset();
    return rc;
}
