// The "Stampa" tab under the offscreen platform: pages from the setting,
// input types enabling fields, and a scanned pass into the virtual STB.
#include "StampaDlg.h"
#include "StampaPages.h"

#include "BoxRig.h"
#include "KvBasicLog.h"
#include "LineRows.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <fstream>

class StampaViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_home.path().toUtf8());
        kv::log_set_fallback(kv::LogFallback::None);
    }

    void cleanup() { std::remove(path("corvane.ini").c_str()); }

    void pagesFromTheSetting()
    {
        {
            StampaDlg v;
            QCOMPARE(v.windowTitle(), QStringLiteral("Stampa"));
            QCOMPARE(v.pageCount(), 2);
            QCOMPARE(v.page(0)->objectName(), QStringLiteral("StampaAlder"));
            QCOMPARE(v.page(1)->objectName(), QStringLiteral("CStampaBirchCommon"));
        }
        std::ofstream(path("corvane.ini")) << "[stampa]\nproject_type = alder , Cedar,Spruce\n";
        StampaDlg v;
        auto* prj = v.findChild<QComboBox*>("prjType");
        auto* tabs = v.findChild<QTabWidget*>("pages");
        QCOMPARE(prj->count(), 2);
        QCOMPARE(prj->itemText(0), QStringLiteral("Alder"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Cedar"));
        QCOMPARE(prj->currentIndex(), 1);
        QCOMPARE(v.currentPage()->objectName(), QStringLiteral("CStampaCedar"));
        prj->setCurrentIndex(0);
        QCOMPARE(tabs->currentIndex(), 0);
    }

    void inputTypesEnableTheirFields()
    {
        std::ofstream(path("example_pk.txt")) << "BoxID\nK0001\nK0002\n";
        StampaAlder page;
        page.show();
        auto* type = page.findChild<QComboBox*>("inputType");
        auto* base = page.findChild<QComboBox*>("base");
        auto* code = page.findChild<QLineEdit*>("barCode");
        auto* list = page.findChild<QListWidget*>("codeList");
        auto* next = page.findChild<QPushButton*>("next");
        QVERIFY(!base->isVisible());
        QVERIFY(!list->isVisible());

        type->setCurrentIndex(2);  // Auto
        QVERIFY(base->isVisible());
        QVERIFY(!code->isEnabled());

        type->setCurrentIndex(3);  // File
        QVERIFY(list->isVisible());
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QStringLiteral("K0001"));
        QVERIFY(code->isEnabled());

        type->setCurrentIndex(0);  // Manual: OK pads the start code, Next counts on
        page.findChild<QLineEdit*>("startCode")->setText("99");
        page.findChild<QLineEdit*>("width")->setText("4");
        page.findChild<QPushButton*>("ok")->click();
        QCOMPARE(code->text(), QStringLiteral("0099"));
        QVERIFY(next->isEnabled());
        QVERIFY(!page.findChild<QPushButton*>("ok")->isEnabled());
        next->click();
        QCOMPARE(code->text(), QStringLiteral("0100"));

        page.findChild<QPushButton*>("cancel")->click();
        type->setCurrentIndex(1);  // Scan
        QVERIFY(!next->isEnabled());
        QVERIFY(code->isEnabled());
        QCOMPARE(page.findChild<QLineEdit*>("startCode")->text(), QString());
    }

    void startRefusesWithoutPortOrCode()
    {
        StampaAlder page;
        page.findChild<QPushButton*>("ok")->click();
        page.onStart();
        QCOMPARE(page.lastMessage(), QStringLiteral("Open COM failed, please reopen! "));
        CStampaBirchCommon birch;
        birch.onStart();
        QCOMPARE(birch.lastMessage(), QStringLiteral("Not open COM, please check! "));
    }

    // The pass writes its row, with its code, in the line database; the run's
    // end leaves no row running.
    void aScannedPassBurnsTheBox()
    {
        const std::string db = path("stampa-line.db");
        qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + db));
        stbsim::Options o;
        o.flash_size = 64 * 1024;
        o.stampa.platform = "alder";
        o.stampa.sync_period_ms = 50;
        testsupport::BoxRig rig;
        std::string err;
        QVERIFY2(rig.start(o, &err), err.c_str());
        rig.make_current();
        stbsim::Simulator& box = *rig.box;
        int listener = kv::log_add_listener([&box](int, const std::string& t) {
            if (t.find("Please connect STB") != std::string::npos)
                box.reset();
        });

        {
            StampaAlder page;
            page.setPauseScale(0.05);
            page.show();
            page.findChild<QLineEdit*>("logFile")->setText(QString::fromStdString(path("scan.csv")));
            page.findChild<QComboBox*>("inputType")->setCurrentIndex(1);
            page.findChild<QPushButton*>("ok")->click();
            // Scans are checked against the station's settings: none, no run.
            page.findChild<QPushButton*>("start")->click();
            QVERIFY(!page.running());
            QVERIFY(page.lastMessage().startsWith("Scan input needs \"LenSN \" and \"NumSys\""));
            std::ofstream(path("corvane.ini")) << "[Stampa]\nLenSN =6\nNumSys=C\n";
            page.findChild<QPushButton*>("start")->click();
            QVERIFY(page.running());
            QTRY_COMPARE_WITH_TIMEOUT(page.statusText(), QStringLiteral("Please scan stampa!"), 10000);
            auto* code = page.findChild<QLineEdit*>("barCode");
            QTest::keyClicks(code, "SCAN01");
            QTest::keyClick(code, Qt::Key_Return);
            auto* results = page.findChild<QTreeWidget*>("results");
            QTRY_COMPARE_WITH_TIMEOUT(results->topLevelItemCount(), 1, 60000);
            QCOMPARE(results->topLevelItem(0)->text(0), QStringLiteral("SCAN01"));
            QCOMPARE(results->topLevelItem(0)->text(1), QStringLiteral("Burning success!"));
            QCOMPARE(QString::fromStdString(box.barcode()), QStringLiteral("SCAN01"));
            QTRY_COMPARE_WITH_TIMEOUT(code->text(), QString(), 10000);  // ready for the next scan

            QSignalSpy ended(&page, &CStampaPageBase::runEnded);
            page.findChild<QPushButton*>("stop")->click();
            QVERIFY(ended.wait(10000));
            QVERIFY(!page.running());
            QVERIFY(page.findChild<QPushButton*>("start")->isEnabled());
        }
        std::ifstream f(path("scan.csv"));
        std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        QCOMPARE(QString::fromStdString(all), QStringLiteral("Stampa,Status\nSCAN01,Success\n"));
        QTRY_COMPARE_WITH_TIMEOUT(
            linetest::line_value(db, "SELECT " LINETEST_JOB " || ' ' || code FROM job ORDER BY rowid"),
            linetest::job_here("stampa burn ok", box.port_path()) + " SCAN01", 10000);
        QCOMPARE(linetest::line_value(db, "SELECT count(*) FROM job WHERE outcome = 'running'"), std::string("0"));
        qunsetenv("CORVANE_DB");
        kv::log_remove_listener(listener);
        rig.stop();
    }

    // A run takes the page's controls as they are at "Start": a page set up
    // for Auto and switched to File burns the code file's codes.
    void aRunFollowsTheControlsAtStart()
    {
        std::ofstream(path("example_pk.txt")) << "BoxID\n500001\n700001\n";
        Rig rig("alder");
        StampaAlder page;
        page.setPauseScale(0.05);
        page.show();
        page.findChild<QLineEdit*>("logFile")->setText(QString::fromStdString(path("file.csv")));
        auto* type = page.findChild<QComboBox*>("inputType");
        type->setCurrentIndex(2);  // Auto
        page.findChild<QLineEdit*>("startCode")->setText("1");
        page.findChild<QLineEdit*>("width")->setText("6");
        page.findChild<QPushButton*>("ok")->click();
        type->setCurrentIndex(3);  // File
        page.findChild<QListWidget*>("codeList")->setCurrentRow(0);
        QSignalSpy ended(&page, &CStampaPageBase::runEnded);
        page.findChild<QPushButton*>("start")->click();
        QVERIFY(page.running());
        auto* results = page.findChild<QTreeWidget*>("results");
        QTRY_VERIFY_WITH_TIMEOUT(results->topLevelItemCount() >= 2, 90000);
        QCOMPARE(results->topLevelItem(1)->text(0), QStringLiteral("700001"));
        if (!ended.wait(30000))
            page.findChild<QPushButton*>("stop")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!page.running(), 10000);
        QCOMPARE(QString::fromStdString(rig.box->barcode()), QStringLiteral("700001"));
        QCOMPARE(QString::fromStdString(slurp("file.csv")),
                 QStringLiteral("Stampa,Status\n500001,Success\n700001,Success\n"));
        // The run is over: the width may be changed for the next one.
        QVERIFY(page.findChild<QLineEdit*>("width")->isEnabled());

        // A code logged Failed goes to this box only when the operator says
        // so, asked with the code named.
        std::ofstream(path("file.csv"), std::ios::app) << "123456,Failed\n";
        type->setCurrentIndex(0);  // Manual
        page.findChild<QLineEdit*>("barCode")->setText("123456");
        page.findChild<QPushButton*>("start")->click();
        QVERIFY(!page.running());
        QCOMPARE(page.lastMessage(), QStringLiteral("Repeat Bar code,input again!"));
        page.setReuseAnswer(true);
        page.findChild<QPushButton*>("start")->click();
        QVERIFY(page.running());
        QVERIFY(page.lastMessage().contains("123456"));
        QVERIFY(ended.wait(60000));
        QCOMPARE(QString::fromStdString(rig.box->barcode()), QStringLiteral("123456"));
    }

    // "Stop" and at once "Start" on the Birch page: the first run's end
    // leaves the second alone, which goes on to burn the next scan.
    void birchStopThenStartAtOnce()
    {
        std::string err;
        QVERIFY2(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err), err.c_str());
        Rig rig("birch");
        CStampaBirchCommon page;
        page.setPauseScale(0.05);
        page.show();
        page.findChild<QComboBox*>("inputType")->setCurrentIndex(1);  // Scan
        auto* start = page.findChild<QPushButton*>("start");
        start->click();
        QVERIFY(page.running());
        QTRY_COMPARE_WITH_TIMEOUT(page.statusText(), QStringLiteral("Please scan stampa!"), 10000);
        page.findChild<QPushButton*>("stop")->click();
        QVERIFY(start->isEnabled());
        start->click();
        QVERIFY(page.running());
        auto* code = page.findChild<QLineEdit*>("barCode");
        QTest::keyClicks(code, "BIRCH0000001");
        QTest::keyClick(code, Qt::Key_Return);
        auto* results = page.findChild<QTreeWidget*>("results");
        QTRY_COMPARE_WITH_TIMEOUT(results->topLevelItemCount(), 1, 60000);
        QCOMPARE(results->topLevelItem(0)->text(1), QStringLiteral("Burning success!"));
        QVERIFY(page.running());
        QSignalSpy ended(&page, &CStampaPageBase::runEnded);
        page.findChild<QPushButton*>("stop")->click();
        QVERIFY(ended.wait(10000));
    }

private:
    // A virtual box of `platform` on the page's serial service; the operator
    // resets it whenever a pass asks for it.
    struct Rig : testsupport::BoxRig {
        explicit Rig(const char* platform)
        {
            std::string err;
            if (!start(options(platform), &err))
                qFatal("stbsim: %s", err.c_str());
            make_current();
            listener = kv::log_add_listener([this](int, const std::string& t) {
                if (t.find("Please connect STB") != std::string::npos)
                    box->reset();
            });
        }
        ~Rig() { kv::log_remove_listener(listener); }
        static stbsim::Options options(const char* platform)
        {
            stbsim::Options o;
            o.flash_size = 64 * 1024;
            o.announce_ms = 50;
            o.stampa.platform = platform;
            o.stampa.sync_period_ms = 50;
            return o;
        }
        int listener = -1;
    };

    std::string slurp(const char* name) const
    {
        std::ifstream f(path(name));
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::string path(const char* name) const { return (m_home.path() + "/" + name).toStdString(); }

    QTemporaryDir m_home;
};

QTEST_MAIN(StampaViewTest)
#include "StampaViewTest.moc"
