// The "PresetData" tab under the offscreen platform.
#include "DialogPresetData.h"
#include "ToolTipCtrl.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <dlfcn.h>

class PresetDataViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_xls = m_dir.filePath(QStringLiteral("astra.xls"));
        QFile rows(m_dir.filePath(QStringLiteral("rows.txt")));
        QVERIFY(rows.open(QIODevice::WriteOnly));
        rows.write("[['Name'], ['-'], ['*Astra', 1, 2, 3, 4, 5, 6, 7, 8],"
                   " ['Das Erste', None, 10, 11, 12, 13, 14, 11836, 27500, 'H', None, None, None, 'L', 1, 101, 102],"
                   " ['ZDF', None, 20, 21, 22, 23, 24, 11836, 27500, 'H', None, None, None, 'R', 2, 201, 202]]");
        rows.close();
        const QString cmd =
            QStringLiteral("/usr/bin/python3 " PRESETTA_SHEET_SCRIPT " '%1' Sheet1 '%2'").arg(m_xls, rows.fileName());
        QCOMPARE(std::system(cmd.toUtf8().constData()), 0);
    }

    void titleControlsAndTips()
    {
        CDialogPresetData view;
        QCOMPARE(view.windowTitle(), QStringLiteral("PresetData"));
        auto* tips = view.findChild<COXToolTipCtrl*>();
        QVERIFY(tips);
        QCOMPARE(tips->MaxTipWidth(), 200);
        QCOMPARE(tips->TipBkColor(), QColor(QStringLiteral("#BBF7AC")));
        QCOMPARE(tips->TipText(view.findChild<QPushButton*>(QStringLiteral("browseInput"))),
                 QStringLiteral("Please select source .xls file you wanna generate into preset."));
        QCOMPARE(tips->TipText(view.findChild<QPushButton*>(QStringLiteral("browseOutput"))),
                 QStringLiteral("Please select preset file name you wanna save."));
        QCOMPARE(tips->TipText(view.findChild<QPushButton*>(QStringLiteral("create"))),
                 QStringLiteral("Click here will generate preset file from input .xls file"));
        QCOMPARE(tips->TipText(view.findChild<QPushButton*>(QStringLiteral("clear"))),
                 QStringLiteral("Click here to clean all content."));
    }

    void createFlow()
    {
        CDialogPresetData view;
        auto* rows = view.findChild<QLineEdit*>(QStringLiteral("rows"));
        auto* min = view.findChild<QLineEdit*>(QStringLiteral("min"));
        auto* max = view.findChild<QLineEdit*>(QStringLiteral("max"));
        auto* input = view.findChild<QLineEdit*>(QStringLiteral("input"));
        auto* create = view.findChild<QPushButton*>(QStringLiteral("create"));

        rows->setText(QStringLiteral("5"));
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("Please select input raw file!"));

        view.ChooseInput(m_xls);
        QCOMPARE(input->text(), m_xls);
        QCOMPARE(min->text(), QStringLiteral("3"));
        QCOMPARE(max->text(), QStringLiteral("5"));
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("Please select preset file name!"));

        const QString out = m_dir.filePath(QStringLiteral("preset.bin"));
        view.ChooseOutput(out);
        rows->setText(QStringLiteral("5x"));
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(rows->text(), QStringLiteral("0"));
        QVERIFY(!QFile::exists(out));

        rows->setText(QStringLiteral("6"));
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("Input number error! Please input a number from 3 to 5."));

        rows->setText(QStringLiteral("5"));
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(view.LastMessage(),
                 QStringLiteral("Preset Data generated! 1 Satallite 1 Tp 2 Pro have been generated!"));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray img = f.readAll();
        QCOMPARE(img.size(), 4 + 52 + 2 * (16 + 52));
        QCOMPARE(img.left(4), QByteArray("\x01\x02\x00\x02", 4));

        rows->clear();  // an empty field counts as 0
        QTest::mouseClick(create, Qt::LeftButton);
        QCOMPARE(view.LastMessage(), QStringLiteral("Input number error! Please input a number from 3 to 5."));

        QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("clear")), Qt::LeftButton);
        QVERIFY(input->text().isEmpty() && min->text().isEmpty() && max->text().isEmpty() && rows->text().isEmpty());
        QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("output"))->text().isEmpty());
    }

    void badInputClearsTheChoice()
    {
        CDialogPresetData view;
        view.ChooseInput(m_xls);
        QCOMPARE(view.MaxRows(), 5);
        const QString junk = m_dir.filePath(QStringLiteral("junk.xls"));
        QFile j(junk);
        QVERIFY(j.open(QIODevice::WriteOnly));
        j.write("junk");
        j.close();
        view.ChooseInput(junk);
        QCOMPARE(view.LastMessage(), QStringLiteral("Error input file! Unsupported raw data file!"));
        QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("input"))->text().isEmpty());
        QVERIFY(view.findChild<QLineEdit*>(QStringLiteral("max"))->text().isEmpty());
        QCOMPARE(view.MaxRows(), 0);
    }

    void pluginEntry()
    {
        void* lib = dlopen(PRESETTA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(lib, dlerror());
        auto fn = reinterpret_cast<int (*)(void**)>(dlsym(lib, "MultiViewDll"));
        QVERIFY(fn);
        void* slot = nullptr;
        QCOMPARE(fn(&slot), 0);
        auto* meta = static_cast<const QMetaObject*>(slot);
        QVERIFY(meta);
        QCOMPARE(QString::fromLatin1(meta->className()), QStringLiteral("CDialogPresetData"));
        QWidget parent;
        QObject* obj = meta->newInstance(Q_ARG(QWidget*, &parent));
        QVERIFY(obj);
        QCOMPARE(static_cast<QWidget*>(obj)->windowTitle(), QStringLiteral("PresetData"));
    }

private:
    QTemporaryDir m_dir;
    QString m_xls;
};

QTEST_MAIN(PresetDataViewTest)
#include "test_presetta_view.moc"
