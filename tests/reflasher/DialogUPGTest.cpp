// The "UPG" view under the offscreen platform.
#include "DialogUPG.h"

#include "KvBasicLog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class DialogUPGTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_home.path().toUtf8());
        kv::log_set_fallback(kv::LogFallback::None);
    }

    void titleAndTips()
    {
        CDialogUPG v;
        QCOMPARE(v.windowTitle(), QStringLiteral("UPG"));
        auto* start = v.findChild<QPushButton*>("start");
        QVERIFY(start);
        QCOMPARE(v.findChild<QComboBox*>("upgProjectType")->count(), 8);
        QCOMPARE(v.findChild<QComboBox*>("dumpProjectType")->currentIndex(), 0);
    }

    void startWithoutImageAsksForOne()
    {
        CDialogUPG v;
        v.onStart();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select file first!"));
        QVERIFY(!v.jobRunning());
        v.findChild<QLineEdit*>("imagePath")->setText(m_home.path() + "/missing.bin");
        v.onStart();
        QVERIFY(v.lastMessage().startsWith(QStringLiteral("Please select file first!")));
        v.onDump();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select file first!"));
        v.onSend();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please input cmd first!"));
    }

    void commandBoxOnlyForProjectType1()
    {
        CDialogUPG v;
        v.show();
        auto* list = v.findChild<QComboBox*>("upgProjectType");
        auto* cmd = v.findChild<QLineEdit*>("command");
        auto* send = v.findChild<QPushButton*>("send");
        QVERIFY(!cmd->isVisible());
        QVERIFY(!send->isVisible());
        list->setCurrentIndex(1);
        QVERIFY(cmd->isVisible());
        QVERIFY(send->isVisible());
        list->setCurrentIndex(6);
        QVERIFY(!cmd->isVisible());
    }

    void dumpSizeListSetsTheSize()
    {
        CDialogUPG v;
        auto* sizes = v.findChild<QComboBox*>("dumpSize");
        QCOMPARE(v.dumpSize(), 0x80000u);
        const uint32_t expected[5] = {0x80000, 0x100000, 0x200000, 0x400000, 0x800000};
        for (int i = 4; i >= 0; --i) {
            sizes->setCurrentIndex(i);
            QCOMPARE(v.dumpSize(), expected[i]);
        }
    }

    void userLimitFromSettings()
    {
        QFile ini(m_home.path() + "/corvane.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[UPG]\nUser_limit = 0\n");
        ini.close();
        CDialogUPG v;
        QCOMPARE(v.userLimitMode(), 2);
        ini.remove();
    }

    void noPortMeansNoJob()
    {
        CDialogUPG v;
        QFile img(m_home.path() + "/img.bin");
        QVERIFY(img.open(QIODevice::WriteOnly));
        img.write(QByteArray(1000, 'x'));
        img.close();
        v.findChild<QLineEdit*>("imagePath")->setText(img.fileName());
        v.onStart();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please open the serial port first!"));
        QVERIFY(!v.jobRunning());
    }

private:
    QTemporaryDir m_home;
};

QTEST_MAIN(DialogUPGTest)
#include "DialogUPGTest.moc"
