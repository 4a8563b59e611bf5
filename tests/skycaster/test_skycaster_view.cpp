// The "skycaster" tab under the offscreen platform: settings, checks and
// messages, and streams generated on the worker thread.
#include "OTAStreamerDialog.h"
#include "ToolTipCtrl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

class SkycasterViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        m_small = WriteImage(QStringLiteral("small.bin"), 20000);
    }

    void titlePagesAndTips()
    {
        OTAStreamerDialog view;
        QCOMPARE(view.windowTitle(), QStringLiteral("skycaster"));
        QCOMPARE(view.Projects(), (std::vector<int>{0, 1, 2}));
        auto* tabs = view.findChild<QTabWidget*>(QStringLiteral("projectPages"));
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(2), QStringLiteral("DSMCC"));
        auto* tips = view.findChild<COXToolTipCtrl*>();
        QVERIFY(tips);
        QCOMPARE(tips->MaxTipWidth(), 200);
        QCOMPARE(tips->TipBkColor(), QColor(QStringLiteral("#BBF7AC")));
        const std::pair<const char*, const char*> expected[] = {
            {"browseBinary", "Select a flash binary file, it will be the original upgrade base file."},
            {"repeat", "Set the Update file Repeat times in the ts file."},
            {"activateMerger", "Activate to merge the generatd file into another ts file."},
            {"browseMerge", "Select the ts file you hope to merge ota.m2t to."},
            {"generate", "Generate new ota file."},
            {"clear", "Clear all the inputs."},
            {"dvbsPid", "Decide the data PID that will be generated in the ota file."},
            {"dsmccOui", "Modify the OUI, it should keep consistence with your products."},
            {"absHardware", "The STB hardware platform."},
            {"absForce", "Activate to force update."}};
        for (const auto& [name, text] : expected)
            QCOMPARE(tips->TipText(view.findChild<QWidget*>(QLatin1String(name))), QLatin1String(text));
        // The error-stream type is chosen only for an error stream.
        auto* type = view.findChild<QComboBox*>(QStringLiteral("absErrorType"));
        QCOMPARE(type->count(), 13);
        QVERIFY(!type->isEnabled());
        view.findChild<QCheckBox*>(QStringLiteral("absError"))->setChecked(true);
        QVERIFY(type->isEnabled());
    }

    void projectListAndModesComeFromTheSettings()
    {
        WriteIni("[OTA Streamer]\nProject_list=abs,dvbs\nUpg_mode_id=0xFF,0x94\nUpg_mode_name=ALL,Tv logo\n");
        OTAStreamerDialog view;
        QFile::remove(IniPath());
        QCOMPARE(view.Projects(), (std::vector<int>{1, 0}));
        auto* project = view.findChild<QComboBox*>(QStringLiteral("projectType"));
        QCOMPARE(project->count(), 2);
        QCOMPARE(project->itemText(0), QStringLiteral("ABS"));
        QCOMPARE(project->itemText(1), QStringLiteral("DVBS"));
        auto* modes = view.findChild<QComboBox*>(QStringLiteral("dvbsMode"));
        QCOMPARE(modes->count(), 2);
        QCOMPARE(modes->itemText(1), QStringLiteral("Tvlogo"));
        QVERIFY(!view.findChild<QPushButton*>(QStringLiteral("nextGroup"))->isEnabled());
    }

    void imagesUpTo16MiBLoad()
    {
        OTAStreamerDialog view;
        const QString path = m_home.filePath(QStringLiteral("big.bin"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(0x1000000));
        f.close();
        view.LoadBinary(path);
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("binaryFile"))->text(), path);
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("repeat"))->text(), QStringLiteral("2"));
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("dvbsPid"))->text(), QStringLiteral("00000160"));
        QCOMPARE(view.findChild<QLineEdit*>(QStringLiteral("dvbsHwVersion"))->text(), QStringLiteral("0000AAAA"));
        QVERIFY(f.resize(0x1000001));
        view.Clear();
        view.LoadBinary(path);
        QCOMPARE(view.LastMessage(), QStringLiteral("The binary file size is too big"));
        QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("binaryFile"))->text().isEmpty());
        QFile::remove(path);
        view.LoadBinary(path);
        QCOMPARE(view.LastMessage(), QStringLiteral("Can't open file"));
    }

    void generatesDvbsOffTheUiThreadAndLoops()
    {
        OTAStreamerDialog view;
        auto* generate = view.findChild<QPushButton*>(QStringLiteral("generate"));
        QTest::mouseClick(generate, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("Please select a flash binary file"));

        const QString out = m_home.filePath(QStringLiteral("ota.m2t"));
        qint64 once = 0;
        for (const char* loops : {"", "3"}) {
            view.LoadBinary(m_small);
            view.findChild<QLineEdit*>(QStringLiteral("loopTimes"))->setText(QLatin1String(loops));
            int highest = 0;
            auto* bar = view.findChild<QProgressBar*>(QStringLiteral("progress"));
            auto c = connect(bar, &QProgressBar::valueChanged, this, [&](int v) { highest = std::max(highest, v); });
            QTest::mouseClick(generate, Qt::LeftButton);
            QVERIFY(view.IsBusy());
            QVERIFY(!generate->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
            disconnect(c);
            QCOMPARE(view.LastMessage(), QStringLiteral("upgrade single file ota.m2t has been generated!"));
            QVERIFY(highest > 0);
            QCOMPARE(bar->value(), 0);
            QVERIFY(generate->isEnabled());
            once = once ? once : QFileInfo(out).size();
        }
        QCOMPARE(QFileInfo(out).size(), 3 * once);
        QVERIFY(ReadBack(out, QStringLiteral("--image 1 '%1'").arg(m_small)));
    }

    void dsmccPidChecksAndTheGroupLimit()
    {
        OTAStreamerDialog view;
        view.findChild<QComboBox*>(QStringLiteral("projectType"))->setCurrentIndex(2);
        auto* pid = view.findChild<QLineEdit*>(QStringLiteral("upgPid"));
        view.LoadBinary(m_small);
        view.Generate();
        QCOMPARE(view.LastMessage(), QStringLiteral("Please input PID!"));
        pid->setText(QStringLiteral("2000"));
        view.Generate();
        QCOMPARE(view.LastMessage(), QStringLiteral("PID beyond 0 - 8191,input again!"));
        pid->setText(QStringLiteral("1FFF"));
        view.Generate();  // past the range check, on to the page's checks
        QCOMPARE(view.LastMessage(), QStringLiteral("Please input HW Model ID!"));

        FillDsmccPage(view);
        view.Generate();  // a stream on the null PID would be thrown away by every receiver
        QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        QVERIFY(view.LastMessage().contains(QStringLiteral("null packet PID")));
        QCOMPARE(view.GroupCount(), 0);

        // Groups collected before a refused Generate stay collected.
        for (int g = 1; g <= 2; ++g) {
            view.LoadBinary(m_small);
            view.NextGroup();
            QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        }
        view.LoadBinary(m_small);
        pid->setText(QStringLiteral("0005"));
        view.Generate();
        QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        QVERIFY(view.LastMessage().contains(QStringLiteral("reserved")));
        QCOMPARE(view.GroupCount(), 2);
        view.Clear();
        FillDsmccPage(view);

        auto* groupNum = view.findChild<QLineEdit*>(QStringLiteral("groupNum"));
        for (int g = 1; g <= 32; ++g) {
            view.LoadBinary(m_small);
            view.NextGroup();
            QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
            QCOMPARE(view.GroupCount(), g);
            QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("binaryFile"))->text().isEmpty());
        }
        QCOMPARE(groupNum->text(), QStringLiteral("33"));
        view.LoadBinary(m_small);
        view.NextGroup();
        QCOMPARE(view.LastMessage(), QStringLiteral("Maximum group number is 32!"));
        QCOMPARE(view.GroupCount(), 32);
        view.Clear();
        QCOMPARE(view.GroupCount(), 0);
        QCOMPARE(groupNum->text(), QStringLiteral("1"));
        QVERIFY(pid->text().isEmpty());
    }

    void dsmccGeneratesAndMergesFromTheTab()
    {
        OTAStreamerDialog view;
        view.findChild<QComboBox*>(QStringLiteral("projectType"))->setCurrentIndex(2);
        FillDsmccPage(view);
        view.findChild<QLineEdit*>(QStringLiteral("upgPid"))->setText(QStringLiteral("1FFE"));
        view.findChild<QCheckBox*>(QStringLiteral("activateMerger"))->setChecked(true);
        view.LoadBinary(m_small);
        view.NextGroup();
        QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        view.LoadBinary(m_small);
        view.Generate();
        QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        QCOMPARE(view.LastMessage(),
                 QStringLiteral("upgrade single file ota.m2t has been generated but there is no merged ts file"));
        QCOMPARE(view.GroupCount(), 0);
        const QString out = m_home.filePath(QStringLiteral("ota.m2t"));
        QVERIFY(ReadBack(out, QStringLiteral("--image 1 '%1' --image 2 '%1'").arg(m_small)));

        // Merged into a stream that has null packets to spare: a copy of ours, padded.
        const QString base = m_home.filePath(QStringLiteral("base.ts"));
        QFile::remove(base);
        QVERIFY(QFile::copy(out, base));
        QFile pad(base);
        QVERIFY(pad.open(QIODevice::Append));
        QByteArray null(188, '\xFF');
        null[0] = 0x47, null[1] = 0x1F, null[2] = char(0xFF), null[3] = 0x10;
        for (int i = 0; i < 800; ++i)
            pad.write(null);
        pad.close();
        view.findChild<QLineEdit*>(QStringLiteral("upgPid"))->setText(QStringLiteral("0200"));
        view.LoadBinary(m_small);
        view.ChooseMergeFile(base);
        view.Generate();
        QTRY_VERIFY_WITH_TIMEOUT(!view.IsBusy(), 60000);
        QCOMPARE(view.LastMessage(), QStringLiteral("Merged ts file upgrade.ts have been generated!"));
        QVERIFY(ReadBack(m_home.filePath(QStringLiteral("upgrade.ts")),
                         QStringLiteral("--base '%1' --image 2 '%2'").arg(base, m_small)));
    }

    void clearEmptiesInputsAndPage()
    {
        OTAStreamerDialog view;
        view.LoadBinary(m_small);
        view.ChooseMergeFile(m_small);
        view.Clear();
        for (const char* name : {"binaryFile", "mergeFile", "repeat", "dvbsPid", "dvbsOui"})
            QVERIFY2(view.findChild<QLineEdit*>(QLatin1String(name))->text().isEmpty(), name);
        view.Generate();
        QCOMPARE(view.LastMessage(), QStringLiteral("Please select a flash binary file"));
    }

private:
    QString IniPath() const { return m_home.filePath(QStringLiteral("corvane.ini")); }
    void WriteIni(const char* text)
    {
        QFile f(IniPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QString WriteImage(const QString& name, int size)
    {
        QByteArray data(size, 0);
        for (int i = 0; i < size; ++i)
            data[i] = char((i * 7919) >> 3);
        QFile f(m_home.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(data);
        return f.fileName();
    }
    void FillDsmccPage(OTAStreamerDialog& view)
    {
        for (const char* name : {"dsmccOui", "dsmccSwModel", "dsmccHwModel", "dsmccSwVersion", "dsmccHwVersion"})
            view.findChild<QLineEdit*>(QLatin1String(name))->setText(QStringLiteral("12"));
    }
    static bool ReadBack(const QString& stream, const QString& args)
    {
        const QString cmd = QStringLiteral("/usr/bin/python3 '" OTA_READER "' '%1' %2 > /dev/null").arg(stream, args);
        return std::system(cmd.toUtf8().constData()) == 0;
    }

    QTemporaryDir m_home;
    QString m_small;
};

QTEST_MAIN(SkycasterViewTest)
#include "test_skycaster_view.moc"
