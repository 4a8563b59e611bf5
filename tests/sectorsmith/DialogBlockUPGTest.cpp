// The "UPGBLOCK" view under the offscreen platform.
#include "DialogBlockUPG.h"

#include "BoxRig.h"
#include "KvBasicLog.h"
#include "LineRows.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>

class DialogBlockUPGTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_home.path().toUtf8());
        kv::log_set_fallback(kv::LogFallback::None);
    }

    void titleListAndFilters()
    {
        CDialogBlockUPG v;
        QCOMPARE(v.windowTitle(), QStringLiteral("UPGBLOCK"));
        auto* list = v.findChild<QComboBox*>("projectType");
        QCOMPARE(list->count(), 5);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(CDialogBlockUPG::qtFilter("BIN files(*.bin)|*.bin|All   files   (*.*)|*.*||"),
                 QStringLiteral("BIN files(*.bin);;All   files   (*.*)"));
    }

    // Which burn buttons each platform offers; "Exit" always.
    void buttonsPerPlatform()
    {
        CDialogBlockUPG v;
        auto* list = v.findChild<QComboBox*>("projectType");
        const char* optional[4] = {"Key", "SSDATA", "IR", "Start Logo"};
        const char* want[5] = {"1000", "0110", "1001", "1001", "1001"};
        for (int pos = 4; pos >= 0; --pos) {
            list->setCurrentIndex(pos);
            QString got;
            for (const char* name : optional)
                got += v.findChild<QPushButton*>(name)->isEnabled() ? '1' : '0';
            QCOMPARE(got, QString::fromLatin1(want[pos]));
            for (const char* name : {"Application", "Flash", "Back Logo", "Dbase", "Radio Logo", "Exit"})
                QVERIFY2(v.findChild<QPushButton*>(name)->isEnabled(), name);
        }
    }

    void noFileNoJob()
    {
        CDialogBlockUPG v;
        v.setFileChooser([](const sectorsmith::BlockKind&) { return QString(); });
        v.findChild<QPushButton*>("Application")->click();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select file first!"));
        v.setFileChooser([this](const sectorsmith::BlockKind&) { return m_home.path() + "/missing.img"; });
        v.findChild<QPushButton*>("Application")->click();
        QCOMPARE(v.lastMessage(), QStringLiteral("Failed to open selected file!"));
        QVERIFY(!v.busy());
    }

    // A block upgrade from the tab into a virtual STB. A burn button pressed
    // while the worker runs does nothing; the buttons come back at the end and
    // the job's row is in the line database.
    void blockUpgradeThroughTheView()
    {
        const std::string db = m_home.path().toStdString() + "/block-line.db";
        qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + db));
        std::string err;
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
        stbsim::Options o;
        o.platform = 0;
        o.flash_size = 1 << 20;
        o.auto_reset_ms = 300;
        o.session_quiet_ms = 10000;
        o.burn_ms = 200;
        o.client_ready_ms = 20;
        o.burn_ready_ms = 40;
        testsupport::BoxRig rig;
        QVERIFY2(rig.start(o, &err), err.c_str());
        rig.make_current();
        stbsim::Simulator& box = *rig.box;

        QByteArray logo(5000, '\0');
        for (int i = 0; i < logo.size(); ++i)
            logo[i] = char("radio logo "[i % 11]);
        QFile f(m_home.path() + "/radio.m2v");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(logo);
        f.close();
        uint32_t offset = 0;
        for (const auto& b : box.blocks())
            if (b.id == 0x95)
                offset = b.offset;
        QVERIFY(offset > 0);
        {
            CDialogBlockUPG v;
            v.setPauseScale(0.02);
            int asked = 0;
            v.setFileChooser([&](const sectorsmith::BlockKind& k) {
                ++asked;
                return k.id == 0x95 ? f.fileName() : QString();
            });
            v.findChild<QPushButton*>("Radio Logo")->click();
            QVERIFY(v.busy());
            QCOMPARE(asked, 1);
            QVERIFY(!v.findChild<QPushButton*>("Application")->isEnabled());
            QVERIFY(v.findChild<QPushButton*>("Exit")->isEnabled());
            v.onBurn(0);  // "Application" while the worker runs: no dialog, no new worker
            QCOMPARE(asked, 1);
            QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 60000);
            QTRY_VERIFY_WITH_TIMEOUT(v.findChild<QPushButton*>("Application")->isEnabled(), 5000);
            QVERIFY2(v.lastResult().ok, v.lastResult().error.c_str());
        }
        const std::vector<uint8_t> flash = box.flash();
        QVERIFY(std::equal(logo.begin(), logo.end(), flash.begin() + offset));
        QTRY_COMPARE_WITH_TIMEOUT(linetest::last_job(db), linetest::job_here("upgblock block ok", box.port_path()),
                                  10000);
        qunsetenv("CORVANE_DB");
        rig.stop();
    }

    // "Exit" while the client goes out is a cancel, not a failed client
    // download: no message box.
    void exitDuringTheClientDownloadIsNoFailure()
    {
        std::string err;
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
        QFile client(m_home.path() + "/upgclient.bin");  // a client long enough to press "Exit" meanwhile
        QVERIFY(client.open(QIODevice::Append));
        client.write(QByteArray(30000, '\0'));
        client.close();
        stbsim::Options o = boxOptions();
        o.speed = 1;  // the line's own pace: 30 KB take a few seconds
        Box box(o);
        {
            CDialogBlockUPG v;
            v.setPauseScale(0.02);
            v.setFileChooser([this](const sectorsmith::BlockKind&) { return appFile(); });
            v.findChild<QPushButton*>("Application")->click();
            QTRY_VERIFY_WITH_TIMEOUT(box.box->counters().bytes_in > 5000, 30000);
            v.findChild<QPushButton*>("Exit")->click();
            QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 60000);
            QTRY_VERIFY_WITH_TIMEOUT(v.lastResult().cancelled, 5000);
            QCOMPARE(v.lastResult().failed, sectorsmith::Step::LoadClient);
            QVERIFY2(v.lastMessage().isEmpty(), qPrintable(v.lastMessage()));
        }
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
    }

    // Closing the tab while its worker waits for the box does not wait for
    // the worker: the job is cancelled and ends by itself afterwards.
    void closingDoesNotWaitForTheWorker()
    {
        std::string err;
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
        stbsim::Options o = boxOptions();
        o.faults = {"drop:cmd=Q,times=3"};  // the slave info never comes: the job sits in its reads
        Box box(o);
        std::mutex m;
        std::string text;
        const int listener = kv::log_add_listener([&](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m);
            text += t;
        });
        auto logged = [&](const char* what) {
            std::lock_guard<std::mutex> l(m);
            return text.find(what) != std::string::npos;
        };
        auto* v = new CDialogBlockUPG;
        v->setPauseScale(0.02);
        v->setFileChooser([this](const sectorsmith::BlockKind&) { return appFile(); });
        v->findChild<QPushButton*>("Application")->click();
        QTRY_VERIFY_WITH_TIMEOUT(logged("(block upg)!! UpgClientTest SUCCESS!!"), 60000);
        delete v;
        QVERIFY2(box.svc.any_job_flag(), "the view waited for its worker");
        QTRY_VERIFY_WITH_TIMEOUT(!box.svc.any_job_flag(), 60000);
        QVERIFY(!logged("(block upg)Get Slave Info OK!"));
        kv::log_remove_listener(listener);
    }

private:
    // A virtual STB with the process's serial service on its port.
    struct Box : testsupport::BoxRig {
        explicit Box(const stbsim::Options& o)
        {
            std::string err;
            if (!start(o, &err))
                qFatal("the virtual STB did not start: %s", err.c_str());
            make_current();
        }
    };
    static stbsim::Options boxOptions()
    {
        stbsim::Options o;
        o.platform = 0;
        o.flash_size = 1 << 20;
        o.auto_reset_ms = 300;
        o.session_quiet_ms = 10000;
        o.burn_ms = 200;
        o.client_ready_ms = 20;
        o.burn_ready_ms = 40;
        return o;
    }
    QString appFile()
    {
        QFile f(m_home.path() + "/app.img");
        if (!f.exists() && f.open(QIODevice::WriteOnly))
            f.write(QByteArray(2000, 'a'));
        return f.fileName();
    }

    QTemporaryDir m_home;
};

QTEST_MAIN(DialogBlockUPGTest)
#include "DialogBlockUPGTest.moc"
