// The "Tessel" views under the offscreen platform.
#include "ImageBuilder.h"
#include "OldImage.h"
#include "TesselDialog.h"
#include "TesselNewButtonDialog.h"
#include "TesselSubDialog.h"
#include "tesselnewfmtdlg.h"

#include "KvBasicLog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString& path, const std::vector<uint8_t>& b)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(b.data()), (qint64)b.size());
}

void writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An old-layout image whose "ssdata" block begins with V1.2.3.
oi::Layout oldLayout(const std::string& v = "V1.2.3")
{
    oi::Layout l;
    std::vector<uint8_t> ss(v.begin(), v.end());
    ss.resize(40, 0);
    std::vector<uint8_t> settings(16, 0);
    settings[0] = 40;
    settings[1] = 0x05;
    std::memcpy(settings.data() + 2, "BOX", 3);
    l.blocks.push_back({0x02, 0, 0x1000, ss, "ssdata"});
    l.blocks.push_back({0x30, 0, 0x1040, settings, "settings"});
    return l;
}

const char* kOldScript = "FLASH=512K\n"
                         "ID=0x30\nEM=0\nname=settings\n"
                         "##[volume][0][0][8],[mode][2][8][4][0][10][5],[label][1][16][48]##\n"
                         "ID=0x30\nEM=1\nname=whole\n";

std::vector<uint8_t> newImage()
{
    const std::string script =
        "CFGHEADER=toolcfg\nSHEETID=3\nSHEETINFO=Name][Value][Min][Max]\nBLOCKINFO=sys]\nOFFSET=0\nINDEX=30\n"
        "[volume][2][0][8][0][100],[mode][0][8][4]\n";
    std::vector<uint8_t> gz;
    tessel::gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &gz);
    std::vector<uint8_t> sys(16, 0);
    sys[0] = 40;
    tb::Dmh d;
    d.addr = 0x20000;
    d.blocks.push_back({0x01, "toolcfg", 0x1000, gz});
    d.blocks.push_back({0x30, "sys", 0x2000, sys});
    d.blocks.push_back({0x40, "logo", 0x3000, tb::bytes(0x20, 1)});
    return tb::build(0x80000, {d});
}

}  // namespace

class TesselDialogTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QString path(const QString& name) const { return m_home.filePath(name); }
    void settings(bool internal)
    {
        writeText(path("corvane.ini"), QByteArray("[Tessel]\nNew_ucakey=false\nBISS_MAX_KEYINFOS=4\n") +
                                           (internal ? "Internal_tool_control = 1 \n" : ""));
    }
    static void preParse(TesselDialog& v, const QString& file)
    {
        v.findChild<QLineEdit*>("sourcePath")->setText(file);
        v.onPreParse();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
    }

private slots:
    void initTestCase()
    {
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_home.path().toUtf8());
        kv::log_set_fallback(kv::LogFallback::None);
        QDir::setCurrent(m_home.path());
        settings(false);
    }

    void titleTipsAndTheEmptyState()
    {
        TesselDialog v;
        QCOMPARE(v.windowTitle(), QStringLiteral("Tessel"));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("preParse")),
                 QStringLiteral("Pre-parse the flash binary to check its validity."));
        QCOMPARE(v.tips().TipText(v.findChild<QCheckBox*>("experts")),
                 QStringLiteral("It's only for experts, customers should not check it."));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("scriptBrowse")),
                 QStringLiteral("Select the cfg file of flash.bin."));
        QCOMPARE(v.tips().MaxTipWidth(), 200);
        QVERIFY(!v.findChild<QPushButton*>("parse")->isVisibleTo(&v));
        QVERIFY(!v.findChild<QPushButton*>("export")->isVisibleTo(&v));
        QVERIFY(!v.internalMode());
        v.onPreParse();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select source flash file first!"));
    }

    void environmentPreloadsAnImage()
    {
        oi::Layout l = oldLayout();
        writeFile(path("preload.bin"), oi::build(l));
        qputenv("CORVANE_TESSEL_IMAGE", path("preload.bin").toUtf8());
        TesselDialog v;
        qunsetenv("CORVANE_TESSEL_IMAGE");
        QTRY_COMPARE_WITH_TIMEOUT(v.state(), TesselDialog::State::Loaded, 20000);
        QCOMPARE(v.blockRows().size(), 2);
        QCOMPARE(v.softwareVersion(), QStringLiteral("V1.2.3"));
    }

    void preParseRefusesAWrongLength()
    {
        TesselDialog v;
        std::vector<uint8_t> odd(0x100001, 0xFF);
        writeFile(path("odd.bin"), odd);
        v.findChild<QLineEdit*>("sourcePath")->setText(path("odd.bin"));
        v.onPreParse();
        QVERIFY(v.busy());  // the read runs off the user-interface thread
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("Wrong binary file!"));
        QCOMPARE(v.state(), TesselDialog::State::Empty);
        QVERIFY(v.image().empty());
        preParse(v, path("missing.bin"));
        QCOMPARE(v.lastMessage(), QStringLiteral("Failed to open the flash file!"));

        // A failed Pre-Parse keeps what was loaded before.
        oi::Layout l = oldLayout();
        writeFile(path("old.bin"), oi::build(l));
        preParse(v, path("old.bin"));
        QCOMPARE(v.state(), TesselDialog::State::Loaded);
        preParse(v, path("odd.bin"));
        QCOMPARE(v.state(), TesselDialog::State::Loaded);
        QCOMPARE(v.blockRows().size(), 2);
    }

    void oldLayoutLooksForItsScriptBesideTheImage()
    {
        TesselDialog v;
        oi::Layout l = oldLayout("V1.2.3 build 7");
        writeFile(path("old.bin"), oi::build(l));
        preParse(v, path("old.bin"));
        QCOMPARE(v.state(), TesselDialog::State::Loaded);
        QVERIFY(!v.isNewType());
        QCOMPARE(v.softwareVersion(), QStringLiteral("V1.2.3 build 7"));
        QCOMPARE(v.findChild<QLabel*>("flashSize")->text(), QStringLiteral("0x80000"));
        const QStringList rows = v.blockRows();
        QCOMPARE(rows.size(), 2);
        QVERIFY2(rows[1].startsWith(QStringLiteral("30  10  ")), qPrintable(rows[1]));
        QVERIFY(rows[1].contains(QStringLiteral("settings")));
        QVERIFY(v.findChild<QPushButton*>("parse")->isVisibleTo(&v));
        QVERIFY(!v.findChild<QLineEdit*>("scriptPath")->isVisibleTo(&v));

        // The version text is the script's name; its first 30 characters.
        QCOMPARE(v.scriptPath(), m_home.path() + QStringLiteral("/V1.2.3 build 7"));
        v.onParse();
        QCOMPARE(v.lastMessage(),
                 QStringLiteral("Please put the correct script file in the same directory as the flash binary!"));
        QVERIFY(!v.customerDialog());

        std::string version = "V1.2.3";
        std::vector<uint8_t> ss(version.begin(), version.end());
        ss.resize(40, 0);
        l.blocks[0].data = ss;
        writeFile(path("old.bin"), oi::build(l));
        preParse(v, path("old.bin"));
        QCOMPARE(v.scriptPath(), m_home.path() + QStringLiteral("/V1.2.3"));
        writeText(path("V1.2.3"), kOldScript);
        v.onParse();
        QVERIFY2(v.customerDialog(), qPrintable(v.lastMessage()));

        // Experts choose the script themselves.
        v.findChild<QCheckBox*>("experts")->setChecked(true);
        preParse(v, path("old.bin"));
        QVERIFY(!v.customerDialog());
        QVERIFY(v.findChild<QLineEdit*>("scriptPath")->isVisibleTo(&v));
        QVERIFY(v.scriptPath().isEmpty());
        v.onParse();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select script file!"));
        v.findChild<QLineEdit*>("scriptPath")->setText(path("V1.2.3"));
        v.onParse();
        QVERIFY(v.customerDialog());
        QVERIFY(v.customerDialog()->flashAddress()->isVisibleTo(v.customerDialog()));
    }

    void fieldEditorWritesTheImageAndGenerateSavesIt()
    {
        TesselDialog v;
        oi::Layout l = oldLayout();
        writeFile(path("old.bin"), oi::build(l));
        writeText(path("V1.2.3"), kOldScript);
        preParse(v, path("old.bin"));
        v.onParse();
        TesselSubDialog* sub = v.customerDialog();
        QVERIFY(sub);
        QVERIFY(sub->itemButton("settings"));
        QVERIFY(sub->itemPath("whole"));
        QVERIFY(!sub->flashAddress()->isVisibleTo(sub));
        sub->itemButton("settings")->click();
        TesselNewButtonDialog* ed = sub->fieldEditor();
        QVERIFY(ed);
        auto* mode = qobject_cast<QComboBox*>(ed->control("mode"));
        QVERIFY(mode);
        QCOMPARE(mode->count(), 3);
        QCOMPARE(mode->itemText(2), QStringLiteral("10"));
        QCOMPARE(mode->currentIndex(), 1);
        QCOMPARE(qobject_cast<QLineEdit*>(ed->control("volume"))->text(), QStringLiteral("40"));
        QCOMPARE(qobject_cast<QLineEdit*>(ed->control("label"))->text(), QStringLiteral("BOX"));

        // A bad number changes nothing and keeps the editor open.
        qobject_cast<QLineEdit*>(ed->control("volume"))->setText("300");
        mode->setCurrentIndex(2);
        ed->onOk();
        QCOMPARE(v.lastMessage(), QStringLiteral("ERROR!! [volume]'s value is out of range,please check it!"));
        QCOMPARE(v.image()[0x1041], 0x05);
        QVERIFY(sub->fieldEditor());
        qobject_cast<QLineEdit*>(ed->control("volume"))->setText("77");
        qobject_cast<QLineEdit*>(ed->control("label"))->setText("STB");
        ed->onOk();
        QTRY_VERIFY(!sub->fieldEditor());
        QCOMPARE(v.image()[0x1040], 77);
        QCOMPARE(v.image()[0x1041], 0x0A);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(v.image().data()) + 0x1042, 3), QByteArray("STB"));
        const uint8_t* e = v.image().data() + l.header_pos + 12 + 48;
        QCOMPARE(tessel::rd32(e + 12), kv::crc32(v.image().data() + 0x1040, 16));

        sub->onGenerate();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select output file!"));
        sub->outputPath()->setText(path("new.bin"));
        sub->keyPath()->setText(path("missing.pub"));
        sub->onGenerate();
        QCOMPARE(v.lastMessage(), QStringLiteral("Wrong abs private key file!"));
        sub->keyPath()->clear();
        sub->onGenerate();
        QCOMPARE(v.lastMessage(), QStringLiteral("Create new bin successfully!"));
        QByteArray out = readFile(path("new.bin"));
        QCOMPARE(out.size(), 0x80000);
        QCOMPARE((uint8_t)out[0x1040], 77);
    }

    // Text fields are bytes of the box's code page: shown through it, written
    // back in it, and not written at all when the user leaves them as shown.
    void fieldEditorTextsAreBytesOfTheBoxCodePage()
    {
        TesselDialog v;
        oi::Layout l = oldLayout();
        std::memcpy(l.blocks[1].data.data() + 2, "Caf\xE9\0\0", 6);  // label: bytes 2..7
        std::fill(l.blocks[1].data.begin() + 8, l.blocks[1].data.end(), 0xFF);  // erased: bytes 8..15
        writeFile(path("old.bin"), oi::build(l));
        writeText(path("V1.2.3"), "ID=0x30\nname=settings\n##[label][1][16][48],[erased][1][64][64]##\n");
        preParse(v, path("old.bin"));
        v.findChild<QComboBox*>("codePage")->setCurrentText("WINDOWS-1252");
        v.onParse();
        QVERIFY(v.customerDialog());
        const std::vector<uint8_t> before = v.image();

        v.customerDialog()->itemButton("settings")->click();
        TesselNewButtonDialog* ed = v.customerDialog()->fieldEditor();
        QVERIFY(ed);
        QCOMPARE(qobject_cast<QLineEdit*>(ed->control("label"))->text(), QStringLiteral("Café"));
        QCOMPARE(qobject_cast<QLineEdit*>(ed->control("erased"))->text(), QString(8, QChar(0xFF)));
        ed->onOk();  // untouched: every byte stays
        QTRY_VERIFY(!v.customerDialog()->fieldEditor());
        QVERIFY(v.image() == before);

        v.customerDialog()->itemButton("settings")->click();
        ed = v.customerDialog()->fieldEditor();
        qobject_cast<QLineEdit*>(ed->control("label"))->setText(QStringLiteral("Grüße"));
        ed->onOk();
        QTRY_VERIFY(!v.customerDialog()->fieldEditor());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(v.image().data()) + 0x1042, 6), QByteArray("Gr\xFC\xDF"
                                                                                                     "e\0",
                                                                                                     6));
        QCOMPARE((uint8_t)v.image()[0x1048], 0xFF);

        // A character the code page cannot hold is refused, naming the field;
        // in GBK it is two bytes.
        v.customerDialog()->itemButton("settings")->click();
        ed = v.customerDialog()->fieldEditor();
        qobject_cast<QLineEdit*>(ed->control("label"))->setText(QStringLiteral("中"));
        ed->onOk();
        QVERIFY(v.lastMessage().contains(QStringLiteral("[label] holds \"中\"")));
        QVERIFY(v.customerDialog()->fieldEditor());
        v.findChild<QComboBox*>("codePage")->setCurrentText("GBK");
        ed->onOk();
        QTRY_VERIFY(!v.customerDialog()->fieldEditor());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(v.image().data()) + 0x1042, 3), QByteArray("\xD6\xD0\0", 3));
    }

    void fieldEditorSpreadsManyFields()
    {
        TesselDialog v;
        oi::Layout l = oldLayout();
        l.blocks[1].data.resize(16, 0);
        writeFile(path("old.bin"), oi::build(l));
        QByteArray script = "ID=0x30\nname=many\n##";
        for (int i = 0; i < 100; ++i)
            script += QStringLiteral("[f%1][0][%1][1],").arg(i).toUtf8();
        writeText(path("V1.2.3"), script + "\n");
        preParse(v, path("old.bin"));
        v.onParse();
        QVERIFY(v.customerDialog());
        v.customerDialog()->itemButton("many")->click();
        TesselNewButtonDialog* ed = v.customerDialog()->fieldEditor();
        QVERIFY(ed);
        QCOMPARE(ed->columns(), 3);
        QVERIFY(ed->control("f0"));
        QVERIFY(ed->control("f99"));
        QVERIFY(ed->width() >= 700);
    }

    void exportWritesTheConfigurationArea()
    {
        TesselDialog v;
        oi::Layout l = oldLayout();
        auto img = oi::build(l);
        for (uint32_t i = 0; i < l.cfg_size; ++i)
            img[l.cfg_offset + i] = (uint8_t)i;
        writeFile(path("old.bin"), img);
        preParse(v, path("old.bin"));
        v.onExport();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select a file to be exported!"));
        v.findChild<QLineEdit*>("outputPath")->setText(path("cfg.bin"));
        v.onExport();
        QCOMPARE(v.lastMessage(), QStringLiteral("Create a file successfully!"));
        QCOMPARE(readFile(path("cfg.bin")),
                 QByteArray(reinterpret_cast<const char*>(img.data()) + l.cfg_offset, (int)l.cfg_size));
        v.findChild<QLineEdit*>("outputPath")->setText(path("no/such/dir/cfg.bin"));
        v.onExport();
        QCOMPARE(v.lastMessage(), QStringLiteral("Create a file failed!"));

        v.onCancel();
        QCOMPARE(v.state(), TesselDialog::State::Empty);
        QVERIFY(v.blockRows().isEmpty());
        QVERIFY(v.image().empty());
        QVERIFY(v.findChild<QLineEdit*>("sourcePath")->text().isEmpty());
        QVERIFY(!v.findChild<QPushButton*>("export")->isVisibleTo(&v));
    }

    void newLayoutSavesAndASecondSaveFindsNoWorkbook()
    {
        TesselDialog v;
        writeFile(path("new.bin"), newImage());
        preParse(v, path("new.bin"));
        QVERIFY(v.isNewType());
        QCOMPARE(v.blockRows().size(), 3);
        v.onParse();
        QVERIFY(v.busy());
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        tesselnewfmtdlg* dlg = v.newFormatDialog();
        QVERIFY2(dlg, qPrintable(v.lastMessage()));
        QCOMPARE(v.state(), TesselDialog::State::Parsed);
        QVERIFY(!v.findChild<QPushButton*>("parse")->isEnabled());
        QCOMPARE(dlg->workbookPath(), m_home.filePath("preset.xlsx"));
        QVERIFY(QFile::exists(dlg->workbookPath()));
        QVERIFY(!dlg->findChild<QComboBox*>("saveBlockList")->isVisibleTo(dlg));

        dlg->onSave();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select output file!"));
        dlg->findChild<QLineEdit*>("newFlashPath")->setText(path("rebuilt.bin"));
        dlg->onSave();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("The New Flash File Created Successful!"));
        QVERIFY(!QFile::exists(dlg->workbookPath()));
        QCOMPARE(readFile(path("rebuilt.bin")).size(), 0x80000);
        dlg->onSave();
        QCOMPARE(v.lastMessage(), QStringLiteral("error open excel  file "));

        dlg->findChild<QPushButton*>("back")->click();
        QTRY_VERIFY(!v.newFormatDialog());
        QVERIFY(v.findChild<QPushButton*>("parse")->isEnabled());

        // A Pre-Parse that fails after a Parse leaves a usable view.
        v.onParse();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QVERIFY(v.newFormatDialog());
        preParse(v, path("missing.bin"));
        QVERIFY(!v.newFormatDialog());
        QCOMPARE(v.state(), TesselDialog::State::Loaded);
        QVERIFY(v.findChild<QPushButton*>("parse")->isEnabled());
    }

    void parseReportsWhatIsWrongWithTheImage()
    {
        TesselDialog v;
        tb::Dmh d;
        d.addr = 0x20000;
        d.blocks.push_back({0x30, "sys", 0x2000, tb::bytes(16, 1)});
        writeFile(path("noscript.bin"), tb::build(0x80000, {d}));
        preParse(v, path("noscript.bin"));
        v.onParse();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("Wrong binary file, can not parse it!"));
        QVERIFY(!v.newFormatDialog());
        QCOMPARE(v.state(), TesselDialog::State::Loaded);

        // A script naming a block the image does not have.
        const std::string script = "CFGHEADER=toolcfg\nSHEETID=3\nBLOCKINFO=sys]\nINDEX=77\n[a][0][0][8]\n";
        std::vector<uint8_t> gz;
        tessel::gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &gz);
        d.blocks.push_back({0x01, "toolcfg", 0x1000, gz});
        writeFile(path("badscript.bin"), tb::build(0x80000, {d}));
        preParse(v, path("badscript.bin"));
        v.onParse();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("Wrong binary file, script error!"));
    }

    void blockLoadChangesTheSizeAndTheNextSaveSkipsTheWorkbook()
    {
        settings(true);
        TesselDialog v;
        settings(false);
        QVERIFY(v.internalMode());
        writeFile(path("new.bin"), newImage());
        preParse(v, path("new.bin"));
        v.onParse();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        tesselnewfmtdlg* dlg = v.newFormatDialog();
        QVERIFY2(dlg, qPrintable(v.lastMessage()));
        auto* loadList = dlg->findChild<QComboBox*>("loadBlockList");
        QVERIFY(loadList->isVisibleTo(dlg));
        QCOMPARE(loadList->count(), 3);
        loadList->setCurrentIndex(2);  // "logo", 0x20 bytes

        dlg->onLoadBlock();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select load file!"));
        const auto logo = tb::bytes(0x50, 9);
        writeFile(path("logo.bin"), logo);
        dlg->findChild<QLineEdit*>("loadBlockPath")->setText(path("logo.bin"));
        dlg->onLoadBlock();
        QCOMPARE(v.lastMessage(), QStringLiteral("The Block have been loaded!"));
        QVERIFY(dlg->blockLoaded());
        QCOMPARE(tessel::entry_size(v.blockNode().working[2]), 0x50u);

        // A workbook that could not be read proves the import is skipped.
        writeText(dlg->workbookPath(), "not a workbook");
        dlg->findChild<QLineEdit*>("newFlashPath")->setText(path("loaded.bin"));
        dlg->onSave();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("The New Flash File Created Successful!"));
        QVERIFY(!dlg->blockLoaded());
        QVERIFY(QFile::exists(dlg->workbookPath()));
        const QByteArray out = readFile(path("loaded.bin"));
        QCOMPARE(out.mid(0x23000, 0x50), QByteArray(reinterpret_cast<const char*>(logo.data()), 0x50));

        // The next save reads the workbook again.
        dlg->onSave();
        QTRY_VERIFY_WITH_TIMEOUT(!v.busy(), 20000);
        QCOMPARE(v.lastMessage(), QStringLiteral("xls file error,can not create new flash"));
        QVERIFY(!QFile::exists(dlg->workbookPath()));

        // Block Save takes the bytes of the image as loaded.
        dlg->findChild<QComboBox*>("saveBlockList")->setCurrentIndex(1);
        dlg->findChild<QLineEdit*>("saveBlockPath")->setText(path("sys.bin"));
        dlg->onSaveBlock();
        QCOMPARE(v.lastMessage(), QStringLiteral("The Block have been saved!"));
        QCOMPARE(readFile(path("sys.bin")).size(), 16);
    }
};

QTEST_MAIN(TesselDialogTest)
#include "TesselDialogTest.moc"
