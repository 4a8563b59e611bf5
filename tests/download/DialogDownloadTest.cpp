// The "Download" tab offscreen: what its check boxes show, hide, enable and
// disable, its messages, and a download and an FPGA calibration from the tab
// into the virtual STB.
#include "DialogDownload.h"

#include "BoxRig.h"
#include "KvBasicLog.h"
#include "LineRows.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>
#include <pty.h>
#include <unistd.h>

namespace {

// A virtual STB in its boot ROM with the process's serial service on its port.
struct LiveBox : testsupport::BoxRig {
    explicit LiveBox(const stbsim::Options& o)
    {
        std::string err;
        if (!start(o, &err))
            qFatal("the virtual STB did not start: %s", err.c_str());
        make_current();
        box->reset();
        box->wait_for_program("boot-rom", 10000);
    }
};

stbsim::Options quietBox()
{
    stbsim::Options o;
    o.flash_size = 1 << 20;
    o.announce_ms = 60000;
    return o;
}

}  // namespace

class DialogDownloadTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("CORVANE_HOME", m_home.path().toUtf8());
        kv::log_set_fallback(kv::LogFallback::None);
    }

    void titleTipsAndFirstState()
    {
        CDialogDownload v;
        QCOMPARE(v.windowTitle(), QStringLiteral("Download"));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("startStop")),
                 QStringLiteral("Start calibrate the sdram of STB."));
        QCOMPARE(v.tips().TipText(v.findChild<QCheckBox*>("calibrate")),
                 QStringLiteral("Check if the STB need sdram calibration."));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("select")), QStringLiteral("Select a .img or .bin file."));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("download")),
                 QStringLiteral("Download the file to memory."));
        QCOMPARE(v.tips().TipText(v.findChild<QPushButton*>("cancel")), QStringLiteral("Cancle download."));
        QVERIFY(v.findChild<QRadioButton*>("chip")->isChecked());
        QVERIFY(v.findChild<QRadioButton*>("cacheNone")->isChecked());
        QVERIFY(!downloadControlsEnabled(v));
        QVERIFY(calibrationControlsHidden(v));
    }

    void bootRomCheckBox()
    {
        CSerialMonitorSerivce svc;
        kv::set_current_serial_service(&svc);
        CDialogDownload v;
        auto* bootRom = v.findChild<QCheckBox*>("bootRom");
        auto* calibrate = v.findChild<QCheckBox*>("calibrate");
        bootRom->click();
        QVERIFY(svc.any_job_flag());
        QVERIFY(!calibrate->isChecked());
        QVERIFY(!calibrate->isEnabled());
        QVERIFY(calibrationControlsHidden(v));
        QVERIFY(downloadControlsEnabled(v));
        bootRom->click();
        QVERIFY(!svc.any_job_flag());
        QVERIFY(calibrate->isEnabled());
        QVERIFY(!downloadControlsEnabled(v));
        kv::set_current_serial_service(nullptr);
    }

    void calibrationCheckBoxAndPlatform()
    {
        CSerialMonitorSerivce svc;
        kv::set_current_serial_service(&svc);
        CDialogDownload v;
        auto* bootRom = v.findChild<QCheckBox*>("bootRom");
        auto* calibrate = v.findChild<QCheckBox*>("calibrate");
        calibrate->click();
        QVERIFY(svc.any_job_flag());
        for (const char* name : {"fpga", "chip", "startStop", "chipLabel", "chipPath", "chipSelect"})
            QVERIFY2(!v.findChild<QWidget*>(name)->isHidden(), name);
        QVERIFY(!bootRom->isChecked());
        QVERIFY(!bootRom->isEnabled());
        QVERIFY(!downloadControlsEnabled(v));
        // FPGA: the chip file controls go grey; CHIP brings them back.
        v.findChild<QRadioButton*>("fpga")->click();
        for (const char* name : {"chipLabel", "chipPath", "chipSelect"})
            QVERIFY2(!v.findChild<QWidget*>(name)->isEnabled(), name);
        v.findChild<QRadioButton*>("chip")->click();
        for (const char* name : {"chipLabel", "chipPath", "chipSelect"})
            QVERIFY2(v.findChild<QWidget*>(name)->isEnabled(), name);
        calibrate->click();
        QVERIFY(!svc.any_job_flag());
        QVERIFY(calibrationControlsHidden(v));
        QVERIFY(bootRom->isEnabled());
        kv::set_current_serial_service(nullptr);
    }

    void messages()
    {
        CDialogDownload v;
        QString chosen;
        v.setFileChooser([&](const QString&, const QString&) { return chosen; });
        v.onDownload();
        QCOMPARE(v.lastMessage(), QStringLiteral("Select file,pls."));
        chosen = m_home.path() + "/notes.txt";
        v.onSelectImage();
        QCOMPARE(v.lastMessage(), QStringLiteral("Please Select a correct file."));
        chosen = m_home.path() + "/image.IMG";
        v.onSelectImage();
        QCOMPARE(v.findChild<QLineEdit*>("imagePath")->text(), chosen);
        QCOMPARE(v.findChild<QLineEdit*>("sendSize")->text(), QStringLiteral("0"));
        v.onDownload();  // the file does not exist
        QCOMPARE(v.lastMessage(), QStringLiteral("Please Select a file."));

        v.onCalibrationStartStop();  // CHIP without a file
        QCOMPARE(v.lastMessage(), QStringLiteral("Please select the chip_ddrconf file first!!!"));
        chosen = m_home.path() + "/missing_conf.txt";
        v.onSelectChipFile();
        v.onCalibrationStartStop();
        QCOMPARE(v.lastMessage(), QString::fromUtf8("the file ddrconf.txt is not exist£¬can't calibrate!!!"));
        v.findChild<QRadioButton*>("fpga")->click();  // no ddrconf.txt in the program folder either
        v.onCalibrationStartStop();
        QCOMPARE(v.lastMessage(), QString::fromUtf8("the file ddrconf.txt is not exist£¬can't calibrate!!!"));
        QCOMPARE(v.findChild<QPushButton*>("startStop")->text(), QStringLiteral("Start"));
    }

    void noPortAsksForTheCom()
    {
        CSerialMonitorSerivce svc;  // no port open
        kv::set_current_serial_service(&svc);
        CDialogDownload v;
        QFile img(m_home.path() + "/small.bin");
        QVERIFY(img.open(QIODevice::WriteOnly));
        img.write(QByteArray(10, 'x'));
        img.close();
        v.setFileChooser([&](const QString&, const QString&) { return img.fileName(); });
        v.onSelectImage();
        v.onDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!v.downloadRunning(), 10000);
        QCOMPARE(v.lastMessage(), QStringLiteral("Please open the com first."));
        kv::set_current_serial_service(nullptr);
    }

    // A download and then an FPGA calibration from the tab: each leaves its
    // row in the line database.
    void downloadFromTheTab()
    {
        qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + lineDb()));
        stbsim::Options o = quietBox();
        o.download_mode = true;
        LiveBox live(o);
        QByteArray image(3 * 5120 + 10, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char("Download tab "[i % 13]);
        QFile f(m_home.path() + "/tab.bin");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
        f.close();

        CDialogDownload v;
        v.setFileChooser([&](const QString&, const QString&) { return f.fileName(); });
        v.findChild<QCheckBox*>("bootRom")->click();
        v.onSelectImage();
        v.onDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!v.downloadRunning(), 30000);
        QVERIFY2(v.lastDownload().ok, v.lastDownload().error.c_str());
        QCOMPARE(v.findChild<QLineEdit*>("totalSize")->text(), QString::number(image.size()));
        QTRY_COMPARE(v.findChild<QLineEdit*>("sendSize")->text(), QString::number(image.size()));
        QVERIFY(!v.findChild<QCheckBox*>("bootRom")->isChecked());
        QVERIFY(v.findChild<QCheckBox*>("calibrate")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(live.box->downloaded().size() == size_t(image.size()), 20000);
        const std::vector<uint8_t> kept = live.box->downloaded();
        QVERIFY(QByteArray(reinterpret_cast<const char*>(kept.data()), qsizetype(kept.size())) == image);
        QTRY_COMPARE_WITH_TIMEOUT(linetest::last_job(lineDb()),
                                  linetest::job_here("download download ok", live.box->port_path()), 10000);
    }

    void fpgaCalibrationFromTheTab()
    {
        qputenv("CORVANE_DB", QByteArray::fromStdString("sqlite:" + lineDb()));
        std::string err;
        QVERIFY(stbsim::write_stb_files(m_home.path().toStdString(), nullptr, &err));
        stbsim::Options o = quietBox();
        o.fpga = true;
        QVERIFY(stbsim::parse_fpga_windows("20-45:10-30,5-9:50-63", o.fpga_windows, &err));
        LiveBox live(o);
        CDialogDownload v;
        v.findChild<QCheckBox*>("calibrate")->click();
        v.findChild<QRadioButton*>("fpga")->click();
        auto* button = v.findChild<QPushButton*>("startStop");
        button->click();
        QCOMPARE(button->text(), QStringLiteral("Stop"));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Start"), 60000);
        QVERIFY2(v.lastCalibration().ok, v.lastCalibration().error.c_str());
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(live.box->fpga_status()),
                                  QStringLiteral("fpga lane0 clock=32 dqs=20 lane1 clock=7 dqs=57"), 20000);
        QVERIFY(!v.calibrationRunning());
        QFile::remove(m_home.path() + "/ddrconf.txt");
        QTRY_COMPARE_WITH_TIMEOUT(linetest::last_job(lineDb()),
                                  linetest::job_here("download calibrate-fpga ok", live.box->port_path()), 10000);
        qunsetenv("CORVANE_DB");
    }

    // Closing the tab while a block waits to go out does not wait for the
    // download thread: the job is cancelled and ends by itself afterwards.
    void closingDoesNotWaitForTheDownload()
    {
        int master = -1, slave = -1;
        char name[256] = {};
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);  // nobody reads the other end
        ::close(slave);
        CSerialMonitorSerivce svc;
        QCOMPARE(svc.SMS_Init(), 1);
        serialport_config_tag cfg;
        cfg.port_index = svc.SMS_AddPort(name);
        QCOMPARE(svc.SMS_OpenPort(cfg), 1);
        kv::set_current_serial_service(&svc);
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
        QFile f(m_home.path() + "/big.bin");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(40 * 5120, 'd'));
        f.close();

        auto* v = new CDialogDownload;
        v->setFileChooser([&](const QString&, const QString&) { return f.fileName(); });
        v->findChild<QCheckBox*>("bootRom")->click();
        v->onSelectImage();
        v->onDownload();
        auto* sent = v->findChild<QLineEdit*>("sendSize");
        QTRY_VERIFY_WITH_TIMEOUT(sent->text().toLongLong() >= 3 * 5120, 30000);
        delete v;
        QVERIFY2(!logged("Download failed") && !logged("Download Canceled"), "the view waited for its download");
        QTRY_VERIFY_WITH_TIMEOUT(logged("Download failed") || logged("Download Canceled"), 60000);
        kv::log_remove_listener(listener);
        kv::set_current_serial_service(nullptr);
        svc.SMS_Deinit();
        ::close(master);
    }

private:
    std::string lineDb() const { return m_home.path().toStdString() + "/download-line.db"; }
    static bool downloadControlsEnabled(CDialogDownload& v)
    {
        bool all = true, any = false;
        for (const char* name : {"select", "download", "cancel", "elmDdr2", "elmDdr3", "cacheNone"}) {
            bool on = v.findChild<QWidget*>(name)->isEnabled();
            all = all && on;
            any = any || on;
        }
        if (all != any)
            qWarning("the download controls are partly enabled");
        return all;
    }
    static bool calibrationControlsHidden(CDialogDownload& v)
    {
        for (const char* name : {"fpga", "chip", "startStop", "chipLabel", "chipPath", "chipSelect"})
            if (!v.findChild<QWidget*>(name)->isHidden())
                return false;
        return true;
    }

    QTemporaryDir m_home;
};

QTEST_MAIN(DialogDownloadTest)
#include "DialogDownloadTest.moc"
