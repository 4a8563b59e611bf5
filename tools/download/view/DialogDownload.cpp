#include "DialogDownload.h"

#include "KvBasicLog.h"
#include "QueuedJobObserver.h"
#include "SerialMonitorService.h"
#include "TabRecord.h"
#include "ToolCommon.h"
#include "WorkerRun.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

const char* const kImageFilter = "img files(*.img);;bin files(*.bin);;all files(*.*)";
const char* const kChipFilter = "chip_conf files(*.txt);;all files(*.*)";

template <class W>
W* named(W* w, const char* name)
{
    w->setObjectName(QLatin1String(name));
    return w;
}

QLineEdit* readOnlyField(QWidget* parent, const char* name)
{
    auto* e = named(new QLineEdit(parent), name);
    e->setReadOnly(true);
    return e;
}

QString defaultChooser(QWidget* parent, const QString& filter, const QString& initial)
{
    QFileDialog dlg(parent, QString(), QString(), filter);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (!initial.isEmpty())
        dlg.selectFile(initial);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

}  // namespace

namespace {

// Passes a job's reports on to the run's relay, all but its end: the view
// tells the end itself once it holds the job's result.
class ReportsBeforeTheEnd : public IJobObserver {
public:
    IJobObserver* to = nullptr;
    void OnStatus(const std::string& t) override { to->OnStatus(t); }
    void OnProgress(int p) override { to->OnProgress(p); }
    void OnPhase(const std::string& n) override { to->OnPhase(n); }
    void OnButtonsEnabled(bool e) override { to->OnButtonsEnabled(e); }
    void OnResult(const JobResult&) override {}
};

}  // namespace

struct CDialogDownload::DownloadState {
    std::atomic<bool> cancel{false};  // the manual-reset cancel event
    ReportsBeforeTheEnd reports;
    bootlink::JobContext ctx;
    download::DownloadResult result;
};

struct CDialogDownload::CalibrationState {
    std::atomic<bool> running{false};  // the running flag (the calibration's keep-going flag)
    ReportsBeforeTheEnd reports;
    bootlink::JobContext ctx;
    download::CalibrationResult result;
};

CDialogDownload::CDialogDownload(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Download"));
    m_chooser = [this](const QString& f, const QString& i) { return defaultChooser(this, f, i); };

    QGroupBox* dlBox = BuildDownloadBox();
    QGroupBox* calBox = BuildCalibrationBox();

    auto* top = new QVBoxLayout(this);
    top->addWidget(dlBox);
    top->addWidget(calBox);
    top->addStretch(1);

    m_tips.Create(this);
    m_tips.SetMaxTipWidth(200);
    m_tips.SetTipBkColor(0xACF7BB);
    m_tips.AddTool(m_calBox.startStop, L"Start calibrate the sdram of STB.");
    m_tips.AddTool(m_calBox.calibrate, L"Check if the STB need sdram calibration.");
    m_tips.AddTool(m_dlBox.select, L"Select a .img or .bin file.");
    m_tips.AddTool(m_dlBox.download, L"Download the file to memory.");
    m_tips.AddTool(m_dlBox.cancel, L"Cancle download.");

    ConnectSignals();

    setDownloadControlsEnabled(false);
    setCalibrationControlsVisible(false);
    onPlatformChanged();
}

QGroupBox* CDialogDownload::BuildDownloadBox()
{
    auto* dlBox = new QGroupBox(QStringLiteral("Download"), this);
    auto* dg = new QGridLayout(dlBox);
    m_dlBox.bootRom = named(new QCheckBox(QStringLiteral("Boot ROM Download"), dlBox), "bootRom");
    m_dlBox.imagePath = readOnlyField(dlBox, "imagePath");
    m_dlBox.select = named(new QPushButton(QStringLiteral("Select"), dlBox), "select");
    m_dlBox.elmDdr2 = named(new QRadioButton(QStringLiteral("Elm DDR2"), dlBox), "elmDdr2");
    m_dlBox.elmDdr3 = named(new QRadioButton(QStringLiteral("Elm DDR3"), dlBox), "elmDdr3");
    m_dlBox.cacheNone = named(new QRadioButton(QStringLiteral("None"), dlBox), "cacheNone");
    m_dlBox.cacheNone->setChecked(true);
    m_dlBox.download = named(new QPushButton(QStringLiteral("Download"), dlBox), "download");
    m_dlBox.cancel = named(new QPushButton(QStringLiteral("Cancel"), dlBox), "cancel");
    m_dlBox.progress = named(new QProgressBar(dlBox), "progress");
    m_dlBox.progress->setRange(0, 100);
    m_dlBox.progress->setValue(0);
    m_dlBox.totalSize = readOnlyField(dlBox, "totalSize");
    m_dlBox.sendSize = readOnlyField(dlBox, "sendSize");
    auto* cacheRow = new QHBoxLayout;
    for (QRadioButton* r : {m_dlBox.elmDdr2, m_dlBox.elmDdr3, m_dlBox.cacheNone})
        cacheRow->addWidget(r);
    dg->addWidget(m_dlBox.bootRom, 0, 0, 1, 3);
    dg->addWidget(m_dlBox.imagePath, 1, 0, 1, 2);
    dg->addWidget(m_dlBox.select, 1, 2);
    dg->addLayout(cacheRow, 2, 0, 1, 3);
    dg->addWidget(m_dlBox.download, 3, 1);
    dg->addWidget(m_dlBox.cancel, 3, 2);
    dg->addWidget(m_dlBox.progress, 4, 0, 1, 3);
    dg->addWidget(new QLabel(QStringLiteral("Total Size"), dlBox), 5, 0);
    dg->addWidget(m_dlBox.totalSize, 5, 1, 1, 2);
    dg->addWidget(new QLabel(QStringLiteral("Send Size"), dlBox), 6, 0);
    dg->addWidget(m_dlBox.sendSize, 6, 1, 1, 2);
    return dlBox;
}

QGroupBox* CDialogDownload::BuildCalibrationBox()
{
    auto* calBox = new QGroupBox(QStringLiteral("Calibration"), this);
    auto* cg = new QGridLayout(calBox);
    m_calBox.calibrate = named(new QCheckBox(QStringLiteral("SDRAM Calibration"), calBox), "calibrate");
    m_calBox.fpga = named(new QRadioButton(QStringLiteral("FPGA"), calBox), "fpga");
    m_calBox.chip = named(new QRadioButton(QStringLiteral("CHIP"), calBox), "chip");
    m_calBox.chip->setChecked(true);
    m_calBox.startStop = named(new QPushButton(QStringLiteral("Start"), calBox), "startStop");
    m_calBox.chipLabel = named(new QLabel(QStringLiteral("Chip File:"), calBox), "chipLabel");
    m_calBox.chipPath = readOnlyField(calBox, "chipPath");
    m_calBox.chipSelect = named(new QPushButton(QStringLiteral("Select"), calBox), "chipSelect");
    cg->addWidget(m_calBox.calibrate, 0, 0, 1, 3);
    cg->addWidget(m_calBox.fpga, 1, 0);
    cg->addWidget(m_calBox.chip, 1, 1);
    cg->addWidget(m_calBox.startStop, 1, 2);
    cg->addWidget(m_calBox.chipLabel, 2, 0);
    cg->addWidget(m_calBox.chipPath, 2, 1);
    cg->addWidget(m_calBox.chipSelect, 2, 2);
    return calBox;
}

void CDialogDownload::ConnectSignals()
{
    m_downloadObs = new QueuedJobObserver(this);
    m_calibObs = new QueuedJobObserver(this);
    connect(m_downloadObs, &QueuedJobObserver::progress, m_dlBox.progress, &QProgressBar::setValue);
    connect(m_downloadObs, &QueuedJobObserver::buttonsEnabled, this, [this](bool on) {
        m_dlBox.select->setEnabled(on);
        m_dlBox.download->setEnabled(on);
    });
    connect(m_downloadObs, &QueuedJobObserver::finished, this, &CDialogDownload::downloadEnded);
    connect(m_calibObs, &QueuedJobObserver::finished, this, [this] { calibrationEnded(); });

    connect(m_dlBox.bootRom, &QCheckBox::clicked, this, &CDialogDownload::onBootRomClicked);
    connect(m_calBox.calibrate, &QCheckBox::clicked, this, &CDialogDownload::onCalibrateClicked);
    connect(m_calBox.fpga, &QRadioButton::clicked, this, &CDialogDownload::onPlatformChanged);
    connect(m_calBox.chip, &QRadioButton::clicked, this, &CDialogDownload::onPlatformChanged);
    connect(m_calBox.chipSelect, &QPushButton::clicked, this, &CDialogDownload::onSelectChipFile);
    connect(m_dlBox.select, &QPushButton::clicked, this, &CDialogDownload::onSelectImage);
    connect(m_dlBox.download, &QPushButton::clicked, this, &CDialogDownload::onDownload);
    connect(m_dlBox.cancel, &QPushButton::clicked, this, &CDialogDownload::onCancel);
    connect(m_calBox.startStop, &QPushButton::clicked, this, &CDialogDownload::onCalibrationStartStop);
}

CDialogDownload::~CDialogDownload()
{
    // Running jobs are told to stop and end by themselves.
    if (m_dl)
        m_dl->cancel = true;
    if (m_cal)
        m_cal->running = false;
    WorkerRun::let_go(m_downloadRun);
    WorkerRun::let_go(m_calibRun);
}

bool CDialogDownload::calibrationRunning() const { return m_cal && m_cal->running.load(); }

void CDialogDownload::error(const QString& text)
{
    m_lastMessage = text;
    corvane::ErrorBox(this, text);
}

void CDialogDownload::setDownloadControlsEnabled(bool on)
{
    for (QWidget* w :
         std::initializer_list<QWidget*>{m_dlBox.select, m_dlBox.download, m_dlBox.cancel, m_dlBox.elmDdr2, m_dlBox.elmDdr3, m_dlBox.cacheNone})
        w->setEnabled(on);
}

void CDialogDownload::setCalibrationControlsVisible(bool on)
{
    for (QWidget* w :
         std::initializer_list<QWidget*>{m_calBox.fpga, m_calBox.chip, m_calBox.startStop, m_calBox.chipLabel, m_calBox.chipPath, m_calBox.chipSelect})
        w->setVisible(on);
}

void CDialogDownload::onBootRomClicked(bool checked)
{
    if (CSerialMonitorSerivce* svc = corvane::SerialService())
        svc->set_bootroom(checked ? 1 : 0);
    if (checked) {
        m_calBox.calibrate->setChecked(false);
        m_calBox.calibrate->setEnabled(false);
        setCalibrationControlsVisible(false);
        setDownloadControlsEnabled(true);
    } else {
        m_calBox.calibrate->setEnabled(true);
        setDownloadControlsEnabled(false);
    }
}

void CDialogDownload::onCalibrateClicked(bool checked)
{
    setCalibrationControlsVisible(checked);
    if (CSerialMonitorSerivce* svc = corvane::SerialService())
        svc->set_calibrate(checked ? 1 : 0);
    if (checked) {
        m_dlBox.bootRom->setChecked(false);
        m_dlBox.bootRom->setEnabled(false);
        setDownloadControlsEnabled(false);
    } else {
        m_dlBox.bootRom->setEnabled(true);
    }
}

// After a download or a cancel the check mark goes, and with it the
// service's boot-ROM flag (the old tab left the flag set behind a clear box).
void CDialogDownload::clearBootRomCheck()
{
    if (!m_dlBox.bootRom->isChecked())
        return;
    m_dlBox.bootRom->setChecked(false);
    if (CSerialMonitorSerivce* svc = corvane::SerialService())
        svc->set_bootroom(0);
    m_calBox.calibrate->setEnabled(true);
}

void CDialogDownload::onPlatformChanged()
{
    const bool chip = m_calBox.chip->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{m_calBox.chipLabel, m_calBox.chipPath, m_calBox.chipSelect})
        w->setEnabled(chip);
}

void CDialogDownload::onSelectChipFile()
{
    const QString path = m_chooser(QLatin1String(kChipFilter), QString());
    if (!path.isEmpty())
        m_calBox.chipPath->setText(path);
}

void CDialogDownload::onSelectImage()
{
    const QString path = m_chooser(QLatin1String(kImageFilter), QStringLiteral("*"));
    if (path.isEmpty())
        return;
    const QString ext = QFileInfo(path).suffix().toUpper();
    if (ext != QLatin1String("IMG") && ext != QLatin1String("BIN")) {
        error(QStringLiteral("Please Select a correct file."));
        return;
    }
    m_dlBox.imagePath->setText(path);
    m_dlBox.sendSize->setText(QStringLiteral("0"));
}

download::CacheCalibration CDialogDownload::cacheChoice() const
{
    if (m_dlBox.elmDdr2->isChecked())
        return download::CacheCalibration::ElmDdr2;
    if (m_dlBox.elmDdr3->isChecked())
        return download::CacheCalibration::ElmDdr3;
    return download::CacheCalibration::None;
}

void CDialogDownload::onDownload()
{
    if (m_downloadRunning)
        return;
    if (m_dlBox.imagePath->text().isEmpty()) {
        error(QStringLiteral("Select file,pls."));
        return;
    }
    m_image.clear();
    if (!bootlink::read_file(m_dlBox.imagePath->text().toStdString(), &m_image) || m_image.empty()) {
        error(QStringLiteral("Please Select a file."));
        return;
    }
    m_dlBox.totalSize->setText(QString::number(qulonglong(m_image.size())));
    auto state = std::make_shared<DownloadState>();
    std::string err;
    auto record = corvane::begin_tab_record(
        corvane::tab_job("download", "download", -1, m_dlBox.imagePath->text().toStdString()), &state->reports, &err);
    if (!record) {
        error(QString::fromStdString(err));
        return;
    }
    WorkerRun::let_go(m_downloadRun);  // the last download has ended: this only forgets it
    auto run = std::make_shared<WorkerRun>(m_downloadObs);
    state->reports.to = &run->relay();
    state->ctx.observer = record->observer();
    state->ctx.cancel = &state->cancel;
    state->ctx.svc = corvane::SerialService();
    download::DownloadParams p;
    p.image = std::move(m_image);
    p.cache = cacheChoice();
    WorkerRun* r = run.get();  // lives as long as its job
    p.on_send_size = [this, r](uint64_t n) {
        r->while_held([&] {
            QMetaObject::invokeMethod(
                this, [this, n] { m_dlBox.sendSize->setText(QString::number(qulonglong(n))); }, Qt::QueuedConnection);
        });
    };
    m_downloadRunning = true;
    m_dl = state;
    m_downloadRun = run;
    run->start(
        [state, r, record, p = std::move(p)] {
            state->result = download::run_download(p, state->ctx);
            record->end();
            r->relay().OnFinished(state->result.ok, state->result.user_error);
        },
        {});
}

void CDialogDownload::downloadEnded(bool, const QString& userError)
{
    m_downloadRunning = false;
    if (m_dl)
        m_downloadResult = m_dl->result;
    m_image.clear();
    m_image.shrink_to_fit();
    if (!userError.isEmpty()) {
        error(userError);
        return;
    }
    clearBootRomCheck();
    m_dlBox.progress->setValue(0);
}

void CDialogDownload::onCancel()
{
    if (m_dl && m_downloadRunning)
        m_dl->cancel = true;
    if (m_downloadRun)
        m_downloadRun->thread().Resume();
    m_dlBox.imagePath->clear();
    m_dlBox.select->setEnabled(true);
    m_dlBox.download->setEnabled(true);
    clearBootRomCheck();
}

void CDialogDownload::onCalibrationStartStop()
{
    if (m_calBox.startStop->text() == QLatin1String("Stop")) {
        m_calBox.startStop->setText(QStringLiteral("Start"));
        if (m_cal)
            m_cal->running = false;
        return;
    }
    startCalibration();
}

void CDialogDownload::startCalibration()
{
    if (!m_calBox.fpga->isChecked() && !m_calBox.chip->isChecked()) {
        error(QStringLiteral("Please select the platform first!"));
        return;
    }
    if (m_calibRun && !m_calibRun->done()) {
        error(QStringLiteral("The calibration that was stopped has not ended yet."));
        return;
    }
    auto state = std::make_shared<CalibrationState>();
    bootlink::JobContext* ctx = &state->ctx;
    const bool chip = m_calBox.chip->isChecked();
    const std::string path = chip ? m_calBox.chipPath->text().toStdString() : ctx->file_path(download::kFpgaConfigFile);
    if (path.empty()) {
        error(QStringLiteral("Please select the chip_ddrconf file first!!!"));
        return;
    }
    std::vector<uint8_t> text;
    if (!QFileInfo::exists(QString::fromStdString(path)) || !bootlink::read_file(path, &text)) {
        error(QString::fromUtf8("the file ddrconf.txt is not exist£¬can't calibrate!!!"));
        return;
    }
    if (text.empty()) {  // nothing to calibrate with; the service keeps reading the port
        kv_console_printf("%s is empty: no calibration\n", path.c_str());
        return;
    }
    std::string err;
    auto record = corvane::begin_tab_record(corvane::tab_job("download", chip ? "calibrate" : "calibrate-fpga"),
                                            &state->reports, &err);
    if (!record) {
        error(QString::fromStdString(err));
        return;
    }
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (svc && bootlink::port_open(svc))
        svc->SMS_StopSvc();
    WorkerRun::let_go(m_calibRun);  // the last calibration has ended: this only forgets it
    auto run = std::make_shared<WorkerRun>(m_calibObs);
    state->reports.to = &run->relay();
    ctx->observer = record->observer();
    ctx->keep_going = &state->running;
    ctx->svc = svc;
    download::CalibrationParams p;
    p.platform = chip ? download::CalibrationPlatform::Chip : download::CalibrationPlatform::Fpga;
    p.config_text.assign(text.begin(), text.end());
    state->running = true;
    m_calBox.startStop->setText(QStringLiteral("Stop"));
    m_cal = state;
    m_calibRun = run;
    WorkerRun* r = run.get();
    run->start(
        [state, r, record, p = std::move(p)] {
            state->result = download::run_calibration(p, state->ctx);
            record->end();
            r->relay().OnFinished(state->result.ok, state->result.error);
        },
        {});
}

void CDialogDownload::calibrationEnded()
{
    m_calBox.startStop->setText(QStringLiteral("Start"));
    if (m_cal) {
        m_cal->running = false;
        m_calibResult = m_cal->result;
    }
}
