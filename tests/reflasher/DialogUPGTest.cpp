// The "UPG" view under the offscreen platform.
#include "DialogUPG.h"

#include "BoxRig.h"
#include "KvBasicLog.h"
#include "LineRows.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

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

    // A whole upgrade from the tab into a virtual STB: the buttons come back,
    // the box's flash holds the padded image and the job's row is in the line
    // database. Without its database the tab does not start the job.
    void upgradeThroughTheView()
    {
        const std::string db = m_home.path().toStdString() + "/upg-line.db";
        std::string err;
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
        stbsim::Options o;
        o.platform = 0;
        o.flash_size = 1 << 20;
        o.auto_reset_ms = 300;
        o.session_quiet_ms = 10000;
        o.burn_ms = 200;
        testsupport::BoxRig rig;
        QVERIFY2(rig.start(o, &err), err.c_str());
        rig.make_current();
        stbsim::Simulator& box = *rig.box;

        QByteArray image(100000, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char("set-top box "[i % 12]);
        QFile f(m_home.path() + "/upg.bin");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
        f.close();

        {
            CDialogUPG v;
            v.findChild<QLineEdit*>("imagePath")->setText(f.fileName());
            qputenv("CORVANE_DB", "postgresql://x@127.0.0.1:1/x");
            v.onStart();
            QVERIFY(v.lastMessage().startsWith(QStringLiteral("The line database is unavailable")));
            QVERIFY(!v.jobRunning());
            qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + db));
            v.onStart();
            QVERIFY(v.jobRunning());
            QVERIFY(!v.findChild<QPushButton*>("start")->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(!v.jobRunning(), 60000);
            QVERIFY(v.findChild<QPushButton*>("start")->isEnabled());
        }
        QTRY_COMPARE_WITH_TIMEOUT(linetest::last_job(db), linetest::job_here("upg upgrade ok", box.port_path()), 10000);
        qunsetenv("CORVANE_DB");
        const std::vector<uint8_t> flash = box.flash();
        QVERIFY(flash.size() >= 131072);
        QVERIFY(std::memcmp(flash.data(), image.constData(), size_t(image.size())) == 0);
        for (size_t i = size_t(image.size()); i < 131072; ++i)
            QCOMPARE(int(flash[i]), 0);
        rig.stop();
    }

private:
    QTemporaryDir m_home;
};

QTEST_MAIN(DialogUPGTest)
#include "DialogUPGTest.moc"
