// The "Remote_Ctrl" tab under the offscreen platform, against the virtual STB.
#include "ClickerTestSupport.h"
#include "KeyButton.h"
#include "LogDialog.h"
#include "RemoteCtrl.h"
#include "StbSim.h"
#include "ToolTipCtrl.h"

#include <SerialMonitorService.h>

#include <QComboBox>
#include <QPushButton>
#include <QtTest>

#include <memory>

class RemoteCtrlViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        stbsim::Options o;
        o.flash_size = 1 << 16;
        m_box = std::make_unique<stbsim::Simulator>(o);
        std::string err;
        QVERIFY2(m_box->start(&err), err.c_str());
        kv::set_current_serial_service(&m_svc);
        m_boxPort = m_svc.SMS_AddPort(m_box->port_path());
        m_keys = clickertest::write_key_map(m_dir, "keys.xls", clickertest::seven_keys());
        QVERIFY(!m_keys.empty());
        qputenv("CORVANE_HOME", QByteArray::fromStdString(m_dir.path()));
    }
    void cleanupTestCase()
    {
        kv::set_current_serial_service(nullptr);
        m_box->stop();
    }

    void titleListsAndTips()
    {
        CRemoteCtrl view;
        QCOMPARE(view.windowTitle(), QStringLiteral("Remote_Ctrl"));
        auto* baud = view.findChild<QComboBox*>(QStringLiteral("baud"));
        QCOMPARE(baud->count(), 13);
        QCOMPARE(baud->currentText(), QStringLiteral("4800"));
        QCOMPARE(view.findChild<QComboBox*>(QStringLiteral("parity"))->currentText(), QStringLiteral("NOPARITY"));
        QCOMPARE(view.findChild<QComboBox*>(QStringLiteral("dataBits"))->currentText(), QStringLiteral("8"));
        auto* tips = view.findChild<COXToolTipCtrl*>();
        QCOMPARE(tips->TipText(baud), QStringLiteral("Default set 4800."));
        QCOMPARE(tips->TipText(view.findChild<QPushButton*>(QStringLiteral("random"))),
                 QStringLiteral("Start or stop to random send ir_keys"));
        for (const char* start : {"random", "record", "simulation"})
            QVERIFY(!view.findChild<QPushButton*>(QLatin1String(start))->isEnabled());
    }

    void keyButtonsFromAKeyMap()
    {
        CRemoteCtrl view;
        view.ChooseKeyMap(QString::fromStdString(m_keys));
        const auto keys = view.KeyButtons();
        QCOMPARE(int(keys.size()), 7);
        for (int j = 0; j < 6; ++j)
            QCOMPARE(keys[size_t(j)]->geometry(), QRect(20 + 90 * j, 200, 80, 30));
        QCOMPARE(keys[6]->geometry(), QRect(20, 240, 80, 30));
        QCOMPARE(keys[0]->text(), QStringLiteral("POWER (&P)"));
        QCOMPARE(keys[1]->text(), QStringLiteral("MENU"));
        QCOMPARE(keys[6]->objectName(), QStringLiteral("key60006"));
        QCOMPARE(keys[5]->KeyValue(), 6);
        for (const char* start : {"random", "record", "simulation"})
            QVERIFY(view.findChild<QPushButton*>(QLatin1String(start))->isEnabled());

        auto bad = clickertest::seven_keys();
        bad[2].value = "12a";
        view.ChooseKeyMap(QString::fromStdString(clickertest::write_key_map(m_dir, "bad.xls", bad)));
        QCOMPARE(view.LastMessage(), QStringLiteral("The remote value is not integer!"));
        QVERIFY(view.KeyButtons().empty());
    }

    void openOnAnOpenPort()
    {
        CRemoteCtrl view;
        auto* open = view.findChild<QPushButton*>(QStringLiteral("openPort"));
        QVERIFY(view.SelectPort(m_boxPort));
        QCOMPARE(open->text(), QStringLiteral("Open"));
        serialport_config_tag cfg;
        cfg.port_index = m_boxPort;
        QVERIFY(m_svc.SMS_OpenPort(cfg));  // opened behind the tab's back
        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("COM had been opened !!!"));
        QVERIFY(m_svc.SMS_ClosePort(m_boxPort));

        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(open->text(), QStringLiteral("Close"));
        QVERIFY(!view.findChild<QComboBox*>(QStringLiteral("port"))->isEnabled());
        QCOMPARE(m_svc.m_CurConfig.baud_rate, 4800);
        QTest::mouseClick(open, Qt::LeftButton);
        QCOMPARE(open->text(), QStringLiteral("Open"));
        QVERIFY(view.findChild<QComboBox*>(QStringLiteral("baud"))->isEnabled());
    }

    void modesExcludeEachOtherAndDriveTheBox()
    {
        CRemoteCtrl view;
        view.SelectPort(m_boxPort);
        view.OnPortButton();
        view.ChooseKeyMap(QString::fromStdString(m_keys));
        view.Session().SetTimeScale(0.05);
        auto* random = view.findChild<QPushButton*>(QStringLiteral("random"));
        auto* record = view.findChild<QPushButton*>(QStringLiteral("record"));
        auto* sim = view.findChild<QPushButton*>(QStringLiteral("simulation"));

        QTest::mouseClick(random, Qt::LeftButton);
        QCOMPARE(random->text(), QStringLiteral("Stop"));
        QVERIFY(!sim->isEnabled());
        QVERIFY(record->isEnabled());
        QTest::mouseClick(random, Qt::LeftButton);
        QCOMPARE(random->text(), QStringLiteral("Start"));
        QVERIFY(sim->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(view.LogPane()->Text().contains(QStringLiteral("Stop random...")), 20000);
        // Every random line stands for a frame that went out: let the box take them all.
        QTRY_COMPARE_WITH_TIMEOUT(int(m_box->keys().size()),
                                  int(view.LogPane()->Text().count(QStringLiteral("random: "))), 20000);

        m_box->clear_keys();
        const QString rcd = QString::fromStdString(m_dir.file("view.rcd"));
        view.ChooseRecordFile(rcd);
        QCOMPARE(record->text(), QStringLiteral("Stop"));
        QVERIFY(!sim->isEnabled());
        QTest::mouseClick(view.KeyButtons()[2], Qt::LeftButton);
        QTest::mouseClick(view.KeyButtons()[6], Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_box->keys().size(), size_t(2), 20000);
        QTest::mouseClick(record, Qt::LeftButton);
        QCOMPARE(record->text(), QStringLiteral("Start"));
        QVERIFY(sim->isEnabled());

        m_box->clear_keys();
        view.ChooseSimulationFile(rcd);
        QCOMPARE(sim->text(), QStringLiteral("Stop"));
        QVERIFY(!random->isEnabled());
        QVERIFY(!record->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(m_box->keys().size(), size_t(2), 20000);
        QCOMPARE(m_box->keys()[0].value, 3);
        QCOMPARE(m_box->keys()[1].value, 7);
        QTest::mouseClick(sim, Qt::LeftButton);
        QCOMPARE(sim->text(), QStringLiteral("Start"));
        QVERIFY(random->isEnabled() && record->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(view.LogPane()->Text().contains(QStringLiteral("sim: cyc:0, key num:2, key value:7")),
                                 20000);
        view.OnPortButton();
    }

    void logPaneKeepsItsLastFourFifths()
    {
        CLogDialog pane;
        pane.SetLimit(100);
        for (int i = 0; i < 30; ++i)
            pane.AppendText(QStringLiteral("line %1\r\n").arg(i, 2, 10, QLatin1Char('0')));
        QVERIFY(pane.Text().size() < 80);
        QVERIFY(pane.Text().endsWith(QStringLiteral("line 29\n")));
        QVERIFY(!pane.Text().contains(QLatin1Char('\r')));
    }

private:
    testsupport::ScratchDir m_dir{"clicker-view"};
    std::unique_ptr<stbsim::Simulator> m_box;
    CSerialMonitorSerivce m_svc;
    int m_boxPort = -1;
    std::string m_keys;
};

QTEST_MAIN(RemoteCtrlViewTest)
#include "ViewTest.moc"
