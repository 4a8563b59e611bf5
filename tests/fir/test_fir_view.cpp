// The "Customization" tab under the offscreen platform.
#include "FPDlg.h"
#include "FirDlg.h"
#include "FirSampleImages.h"
#include "FirUi.h"
#include "HWDlg.h"
#include "KeyMapDlg.h"
#include "LEDMapDlg.h"
#include "LineRows.h"
#include "PanelTestBox.h"
#include "PowerWaveDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QtTest>

#include <dlfcn.h>

using namespace firtest;

// Sets the CRC field of each of the first `entries` entries of the DMH at `dmh`.
static void fix_crcs(std::vector<uint8_t>& img, size_t dmh, int entries)
{
    for (int k = 0; k < entries; ++k) {
        uint8_t* e = img.data() + dmh + 28 + 48 * k;
        le32(e + 12, box_crc(img.data() + dmh + rd32(e + 4), rd32(e + 8)));
    }
}

class FirViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The program folder holds a language list of nine names.
        qputenv("CORVANE_HOME", QByteArray::fromStdString(scratch().path()));
        std::ofstream(scratch().file("config.birch.xml"))
            << "<birch><languages><l>Deutsch</l><l>English</l><l>Francais</l><l>Russkij</l><l>Arabi</l>"
               "<l>Farsi</l><l>Bahasa</l><l>Portugues</l><l>Turkce</l></languages></birch>";
        m_base = QString::fromStdString(scratch().file("base.bin"));
        spit(scratch().file("base.bin"), base_image());
        m_dogwood = QString::fromStdString(scratch().file("dogwood.bin"));
        spit(scratch().file("dogwood.bin"), dogwood_image());
    }

    void pluginAndControls()
    {
        void* lib = dlopen(FIR_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(lib, dlerror());
        auto fn = reinterpret_cast<int (*)(void**)>(dlsym(lib, "MultiViewDll"));
        QVERIFY(fn);
        void* slot = nullptr;
        fn(&slot);
        QCOMPARE(QString::fromLatin1(static_cast<const QMetaObject*>(slot)->className()), QStringLiteral("CFirDlg"));

        CFirDlg view;
        QCOMPARE(view.windowTitle(), QStringLiteral("Customization"));
        auto* platform = view.findChild<QComboBox*>(QStringLiteral("projectType"));
        QCOMPARE(platform->count(), 3);
        auto* parse = view.findChild<QPushButton*>(QStringLiteral("parse"));
        QTest::mouseClick(parse, Qt::LeftButton);
        QCOMPARE(firview::LastMessage(), QStringLiteral("Please select input file!"));
        view.ChooseOutput(QStringLiteral("/tmp/out"));
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("output"))->text(), QStringLiteral("/tmp/out.bin"));
        view.ChooseOutput(QStringLiteral("/tmp/OUT.BIN"));
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("output"))->text(), QStringLiteral("/tmp/OUT.BIN"));
    }

    void parseFillsTheTreeAndClearEmptiesIt()
    {
        CFirDlg view;
        auto* tree = view.findChild<QTreeWidget*>(QStringLiteral("pageTree"));
        auto* pages = view.findChild<QStackedWidget*>(QStringLiteral("pageArea"));
        auto* parse = view.findChild<QPushButton*>(QStringLiteral("parse"));
        view.ChooseInput(m_base);
        QTest::mouseClick(parse, Qt::LeftButton);
        QCOMPARE(tree->topLevelItemCount(), 4);
        const QStringList names = {"Front Panel", "Key Map", "HW Info", "LED Map"};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(tree->topLevelItem(i)->text(0), names[i]);
        QCOMPARE(tree->currentItem()->text(0), QStringLiteral("Front Panel"));
        QCOMPARE(pages->currentWidget(), static_cast<QWidget*>(view.FrontPanelPage()));
        QVERIFY(pages->isEnabled());
        QVERIFY(!parse->isEnabled());
        QCOMPARE(view.FrontPanelPage()->findChild<QLineEdit*>(QStringLiteral("clockPos"))->text(),
                 QString::number((0x40 + 24) >> 2));
        // The nine names of config.birch.xml caption the language boxes.
        QCOMPARE(view.HardwarePage()->findChild<QCheckBox*>(QStringLiteral("language1"))->text(),
                 QStringLiteral("Deutsch"));
        auto* fpKeys = view.KeyMapPage()->findChild<QTableWidget*>(QStringLiteral("fpKeys"));
        QCOMPARE(fpKeys->rowCount(), 9);
        QCOMPARE(fpKeys->item(0, 0)->text(), QStringLiteral("KEY_0"));

        tree->setCurrentItem(tree->topLevelItem(3));
        QCOMPARE(pages->currentWidget(), static_cast<QWidget*>(view.LedMapPage()));

        QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("clear")), Qt::LeftButton);
        QCOMPARE(tree->topLevelItemCount(), 0);
        QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("input"))->text().isEmpty());
        QVERIFY(!pages->isEnabled());
        QVERIFY(parse->isEnabled());
        QCOMPARE(view.Record().bytes(), std::vector<uint8_t>(1564, 0));
        QVERIFY(!view.HasImage());
    }

    void generateGathersThePages()
    {
        CFirDlg view;
        view.findChild<QComboBox*>(QStringLiteral("projectType"))->setCurrentIndex(2);
        view.ChooseInput(m_dogwood);
        QVERIFY(view.Parse());
        const std::string out = scratch().file("dogwood-new.bin");
        view.ChooseOutput(QString::fromStdString(out));

        auto* clock = view.FrontPanelPage()->findChild<QLineEdit*>(QStringLiteral("clockPos"));
        clock->setText(QStringLiteral("ab"));
        QVERIFY(!view.Generate());
        QCOMPARE(firview::LastMessage(), QStringLiteral("The 'fclock pos' value is not valid!"));
        QVERIFY(!QFile::exists(QString::fromStdString(out)));

        clock->setText(QStringLiteral("33"));
        auto* irKeys = view.KeyMapPage()->findChild<QTableWidget*>(QStringLiteral("irKeys"));
        irKeys->item(1, 1)->setText(QStringLiteral("200"));
        view.KeyMapPage()->findChild<QComboBox*>(QStringLiteral("keyBase"))->setCurrentIndex(1);
        QCOMPARE(irKeys->item(1, 1)->text(), QStringLiteral("c8"));
        view.KeyMapPage()->findChild<QLineEdit*>(QStringLiteral("ir2UserCode"))->setText(QStringLiteral("beef"));
        QVERIFY(view.Generate());
        QCOMPARE(firview::LastMessage(), QStringLiteral("Save Data Success!"));

        fir::ParsedImage again;
        QVERIFY(fir::load_image(fir::Platform::Dogwood, out, &again).ok);
        QCOMPARE(again.record.config()[8] >> 2, 33);
        QCOMPARE(int(again.record.key_code(fir::KeyTable::Ir1, 1)), 200);
        QCOMPARE(int(again.record.user_code(fir::KeyTable::Ir2)), 0xBEEF);
    }

    void alderEditsReachTheImageAndClearForgetsIt()
    {
        const std::string img = scratch().file("alder.bin");
        spit(img, alder_image());
        CFirDlg view;
        view.findChild<QComboBox*>(QStringLiteral("projectType"))->setCurrentIndex(1);
        view.ChooseInput(QString::fromStdString(img));
        QVERIFY(view.Parse());
        const std::string out = scratch().file("alder-new.bin");
        view.ChooseOutput(QString::fromStdString(out));
        view.FrontPanelPage()->findChild<QLineEdit*>(QStringLiteral("dataPos"))->setText(QStringLiteral("17"));
        auto* fpKeys = view.KeyMapPage()->findChild<QTableWidget*>(QStringLiteral("fpKeys"));
        fpKeys->item(2, 1)->setText(QStringLiteral("300"));
        QVERIFY(!view.Generate());
        QCOMPARE(firview::LastMessage(), QStringLiteral("The 'FP_Key' value in row 3 is not valid!"));
        fpKeys->item(2, 1)->setText(QStringLiteral("99"));
        QVERIFY(view.Generate());
        fir::ParsedImage again;
        QVERIFY(fir::load_image(fir::Platform::Alder, out, &again).ok);
        QCOMPARE(again.record.config()[9] >> 2, 17);
        QCOMPARE(int(again.record.key_code(fir::KeyTable::Fp, 2)), 99);

        view.Clear();
        view.ChooseOutput(QString::fromStdString(out));
        QVERIFY(!view.Generate());
        QCOMPARE(firview::LastMessage(), QStringLiteral("Save Data Failed!!"));
    }

    // Alder: Parse then Generate with nothing edited writes the image back
    // byte for byte, also where the configuration holds what the pages
    // cannot show; an edit changes its own bits only.
    void alderUntouchedBytesStayByteForByte()
    {
        std::vector<uint8_t> in = alder_image();
        uint8_t* cfg = in.data() + 0x20000 + 0x400;
        cfg[0] = 0x07;  // neither 0 nor 1
        cfg[4] = 0xEC;  // scan type 12, bit 7 set
        cfg[5] = 0x43;  // three digits
        cfg[6] = 0x09;  // display kind of no list entry
        cfg[16] = 0xFD, cfg[17] = 0x11, cfg[18] = 0x22, cfg[19] = 0x33;  // positions beyond "4"
        fix_crcs(in, 0x10000, 2);
        fix_crcs(in, 0x20000, 2);
        const std::string img = scratch().file("alder-odd.bin");
        spit(img, in);

        CFirDlg view;
        view.findChild<QComboBox*>(QStringLiteral("projectType"))->setCurrentIndex(1);
        view.ChooseInput(QString::fromStdString(img));
        QVERIFY(view.Parse());
        const std::string out = scratch().file("alder-odd-new.bin");
        view.ChooseOutput(QString::fromStdString(out));
        QVERIFY(view.Generate());
        QCOMPARE(firview::LastMessage(), QStringLiteral("Save Data Success!"));
        QVERIFY(slurp(out) == in);

        view.FrontPanelPage()->findChild<QLineEdit*>(QStringLiteral("dataPos"))->setText(QStringLiteral("17"));
        view.HardwarePage()->findChild<QLineEdit*>(QStringLiteral("tvAv"))->setText(QStringLiteral("5"));
        QVERIFY(view.Generate());
        std::vector<uint8_t> want = in;
        uint8_t* w = want.data() + 0x20000 + 0x400;
        w[9] = uint8_t((w[9] & 0x03) | 17 << 2);
        w[308] = 5;
        fix_crcs(want, 0x20000, 2);
        QVERIFY(slurp(out) == want);
    }

    // Base platform: an image whose script cannot be read opens; the key page
    // says so and has no rows, and Generate still writes the image.
    void baseImageWithABrokenScriptOpens()
    {
        const std::string img = scratch().file("base-bad-script.bin");
        spit(img, base_image(0x100, true, script_text(3, 3, 3, "CFGHEADER=toolcfgx")));
        CFirDlg view;
        view.ChooseInput(QString::fromStdString(img));
        QVERIFY(view.Parse());
        QCOMPARE(firview::LastMessage(), QStringLiteral("Wrong binary file, script error!"));
        QCOMPARE(view.KeyMapPage()->findChild<QTableWidget*>(QStringLiteral("irKeys"))->rowCount(), 0);
        QCOMPARE(view.KeyMapPage()->findChild<QLineEdit*>(QStringLiteral("ir1UserCode"))->text(),
                 QStringLiteral("12ab"));
        view.ChooseOutput(QString::fromStdString(scratch().file("base-bad-script-new.bin")));
        QVERIFY(view.Generate());
    }

    void exchangesWithoutAPanelEndAtOnce()
    {
        CFirDlg view;
        view.ChooseInput(m_base);
        QVERIFY(view.Parse());
        auto* getKey = view.KeyMapPage()->findChild<QPushButton*>(QStringLiteral("getKey"));
        getKey->click();
        QCOMPARE(getKey->text(), QStringLiteral("Start Get Key"));
        QVERIFY(!view.KeyMapPage()->Getting());

        view.ShowPage(QStringLiteral("led map"));
        auto* getMap = view.LedMapPage()->findChild<QPushButton*>(QStringLiteral("getLedMap"));
        QCOMPARE(getMap->isEnabled(), view.FrontPanelPage()->FpType() == 0);
        view.FrontPanelPage()->findChild<QComboBox*>(QStringLiteral("fpType"))->setCurrentIndex(0);
        view.ShowPage(QStringLiteral("LED Map"));
        QVERIFY(getMap->isEnabled());
        getMap->click();
        QCOMPARE(getMap->text(), QStringLiteral("Start Get LED Map"));

        auto* lamp = view.FrontPanelPage()->findChild<QPushButton*>(QStringLiteral("testLamp"));
        lamp->click();
        QCOMPARE(lamp->text(), QStringLiteral("Start Test Lamp Pos"));
        QCOMPARE(view.FrontPanelPage()->PendingAction(), int(CFPDlg::kNone));

        auto* connectBtn = view.findChild<QPushButton*>(QStringLiteral("connect"));
        connectBtn->click();
        QVERIFY(!connectBtn->isEnabled());
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("status"))->text(),
                 QStringLiteral("Please reset the slave STB!"));
        view.Clear();
        QVERIFY(connectBtn->isEnabled());
    }

    void pageFilesFromThePages()
    {
        CFirDlg view;
        view.ChooseInput(m_base);
        QVERIFY(view.Parse());
        KeyMapDlg* keys = view.KeyMapPage();
        const QString fpkey = QString::fromStdString(scratch().file("view.fpkey"));
        keys->SaveKeys(fpkey, fir::PageFile::FpKey);
        QCOMPARE(firview::LastMessage(), QStringLiteral("Finish to save file!"));
        auto* fpKeys = keys->findChild<QTableWidget*>(QStringLiteral("fpKeys"));
        fpKeys->item(0, 1)->setText(QStringLiteral("0"));
        keys->LoadKeys(fpkey, fir::PageFile::FpKey);
        QCOMPARE(firview::LastMessage(), QStringLiteral("Load done!"));
        QCOMPARE(fpKeys->item(0, 1)->text(), QStringLiteral("3"));

        const QString hw = QString::fromStdString(scratch().file("view.hw"));
        auto* tvAv = view.HardwarePage()->findChild<QLineEdit*>(QStringLiteral("tvAv"));
        tvAv->setText(QStringLiteral("42"));
        view.HardwarePage()->SaveConfig(hw);
        tvAv->setText(QStringLiteral("0"));
        view.HardwarePage()->LoadConfig(hw);
        QCOMPARE(tvAv->text(), QStringLiteral("42"));

        view.FrontPanelPage()->LoadConfig(hw + QStringLiteral(".missing"));
        QCOMPARE(firview::LastMessage(), QStringLiteral("Can't open binary file!"));

        auto* wave = view.HardwarePage()->findChild<QPushButton*>(QStringLiteral("testPowerWave"));
        QTimer::singleShot(0, this, [&] {
            CPowerWaveDlg* dlg = view.HardwarePage()->PowerWaveDialog();
            QVERIFY(dlg);
            QCOMPARE(dlg->windowTitle(), QStringLiteral("Power Wave Data Config"));
            dlg->SetText(QStringLiteral("1,2,3"));
            dlg->accept();
        });
        QTest::mouseClick(wave, Qt::LeftButton);
        QCOMPARE(QString::fromStdString(view.HardwarePage()->Fields().power_wave), QStringLiteral("1,2,3"));
    }

    void connectWithPanelAndLearnAKey()
    {
        firtest::PanelTestBox tb;
        std::string err;
        QVERIFY2(tb.start(0, {}, &err), err.c_str());
        kv::set_current_serial_service(&tb.svc);
        firtest::CapturedLog log;
        CFirDlg view;
        view.Session().SetRootDir(tb.dir.path());
        view.Session().SetPauseScale(0.02);
        view.ChooseInput(m_base);
        QVERIFY(view.Parse());

        view.findChild<QPushButton*>(QStringLiteral("connect"))->click();
        tb.box->reset();
        QTRY_VERIFY_WITH_TIMEOUT(log.has("Download  successfully!"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!view.Session().Busy(), 10000);
        QVERIFY(view.Connected());
        QVERIFY(tb.box->panel().record == view.Record().bytes());
        QCOMPARE(view.findChild<QLabel*>(QStringLiteral("status"))->text(), QString());

        // A key pressed on the remote goes into the IR2 cell of row 2.
        view.ShowPage(QStringLiteral("Key Map"));
        auto* getKey = view.KeyMapPage()->findChild<QPushButton*>(QStringLiteral("getKey"));
        getKey->click();
        QCOMPARE(getKey->text(), QStringLiteral("Stop Get Key"));
        QTRY_VERIFY_WITH_TIMEOUT(tb.box->panel().key_mode, 10000);
        auto* irKeys = view.KeyMapPage()->findChild<QTableWidget*>(QStringLiteral("irKeys"));
        emit irKeys->cellDoubleClicked(2, 3);
        QVERIFY(tb.box->press_key(0x7F80, 0x2C));
        QTRY_COMPARE_WITH_TIMEOUT(irKeys->item(2, 3)->text(), QStringLiteral("44"), 10000);
        QCOMPARE(view.KeyMapPage()->findChild<QLineEdit*>(QStringLiteral("ir2UserCode"))->text(),
                 QStringLiteral("7f80"));
        getKey->click();
        QTRY_VERIFY_WITH_TIMEOUT(!view.Session().Busy(), 10000);
        QCOMPARE(getKey->text(), QStringLiteral("Start Get Key"));

        // The learnt key goes to the box with the configuration... and into the record;
        // the send is a job of the line database.
        const std::string db = tb.dir.file("line.db");
        qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + db));
        view.findChild<QPushButton*>(QStringLiteral("sendConfig"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(log.has("send configuration success!!!"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(linetest::last_job(db), linetest::job_here("panel send ok", tb.box->port_path()),
                                  10000);
        qunsetenv("CORVANE_DB");
        QCOMPARE(int(view.Record().key_code(fir::KeyTable::Ir2, 2)), 0x2C);
        QVERIFY(tb.box->panel().config == std::vector<uint8_t>(view.Record().config(), view.Record().config() + 464));
        kv::set_current_serial_service(nullptr);
    }

private:
    QString m_base, m_dogwood;
};

QTEST_MAIN(FirViewTest)
#include "test_fir_view.moc"
