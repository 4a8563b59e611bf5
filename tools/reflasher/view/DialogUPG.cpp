#include "DialogUPG.h"

#include "KvWorkThread.h"
#include "QueuedJobObserver.h"
#include "SerialMonitorService.h"
#include "TabRecord.h"
#include "ToolCommon.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <unistd.h>

namespace {

const char* const kBinFilter = "bin files(*.bin);;all files(*.*)";

// Both lists show every project type of the platform table.
QComboBox* projectList(QWidget* parent)
{
    auto* c = new QComboBox(parent);
    for (int type : bootlink::all_project_types())
        c->addItem(QString::fromStdString(bootlink::list_text(bootlink::platform(type))), type);
    c->setCurrentIndex(0);
    return c;
}

const bootlink::Platform& selected(const QComboBox* list) { return bootlink::platform(list->currentData().toInt()); }

}  // namespace

namespace {

// A new widget of type W made from `args`, named for the tests and style sheets.
template <class W, class... A>
W* Named(const char* name, A&&... args)
{
    auto* w = new W(std::forward<A>(args)...);
    w->setObjectName(name);
    return w;
}

QProgressBar* NamedProgress(const char* name, QWidget* parent)
{
    auto* p = Named<QProgressBar>(name, parent);
    p->setRange(0, 100);
    p->setValue(0);
    return p;
}

}  // namespace

CDialogUPG::CDialogUPG(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("UPG"));
    m_userLimit = reflasher::user_limit_mode_from_settings(m_userLimit);

    QGroupBox* upgBox = BuildUpgradeBox();
    QGroupBox* dumpBox = BuildDumpBox();
    auto* top = new QVBoxLayout(this);
    top->addWidget(upgBox);
    top->addWidget(dumpBox);
    top->addStretch(1);

    m_tips.Create(this);
    m_tips.SetMaxTipWidth(200);
    m_tips.SetTipBkColor(0xACF7BB);
    m_tips.AddTool(m_chooseImage, L"Select a flash binary file...");
    m_tips.AddTool(m_start, L"Press start to prepare for an upgrade transfer.");
    m_tips.AddTool(m_exit, L"Press exit to stop this transfer.");
    m_tips.AddTool(m_dumpSizeList,
                   L"Select the dump size of current flash, please don't select a size exceeding the current flash");
    m_tips.AddTool(m_chooseDump, L"Select a directory and filename for the dump result.");
    m_tips.AddTool(m_dump, L"Begin to dump.");
    m_tips.AddTool(m_cancel, L"Cancel this dump.");

    ConnectSignals();
    onUpgProjectChanged(0);
}

QGroupBox* CDialogUPG::BuildUpgradeBox()
{
    auto* upgBox = new QGroupBox(QStringLiteral("Upgrade"), this);
    auto* ug = new QGridLayout(upgBox);
    m_imagePath = Named<QLineEdit>("imagePath", upgBox);
    m_chooseImage = Named<QPushButton>("chooseImage", QStringLiteral("..."), upgBox);
    m_upgProject = projectList(upgBox);
    m_upgProject->setObjectName("upgProjectType");
    m_upgProgress = NamedProgress("upgProgress", upgBox);
    m_start = Named<QPushButton>("start", QStringLiteral("Start"), upgBox);
    m_exit = Named<QPushButton>("exit", QStringLiteral("Exit"), upgBox);
    m_upgStatus = Named<QLabel>("upgStatus", upgBox);
    m_command = Named<QLineEdit>("command", upgBox);
    m_send = Named<QPushButton>("send", QStringLiteral("Send"), upgBox);
    ug->addWidget(new QLabel(QStringLiteral("Image:"), upgBox), 0, 0);
    ug->addWidget(m_imagePath, 0, 1, 1, 3);
    ug->addWidget(m_chooseImage, 0, 4);
    ug->addWidget(new QLabel(QStringLiteral("Project Type:"), upgBox), 1, 0);
    ug->addWidget(m_upgProject, 1, 1);
    ug->addWidget(m_start, 1, 3);
    ug->addWidget(m_exit, 1, 4);
    ug->addWidget(m_upgProgress, 2, 0, 1, 5);
    ug->addWidget(m_upgStatus, 3, 0, 1, 5);
    ug->addWidget(m_command, 4, 0, 1, 4);
    ug->addWidget(m_send, 4, 4);
    return upgBox;
}

QGroupBox* CDialogUPG::BuildDumpBox()
{
    auto* dumpBox = new QGroupBox(QStringLiteral("Dump"), this);
    auto* dg = new QGridLayout(dumpBox);
    m_dumpSizeList = Named<QComboBox>("dumpSize", dumpBox);
    for (const char* n : reflasher::kDumpSizeNames)
        m_dumpSizeList->addItem(QString::fromUtf8(n));
    m_dumpPath = Named<QLineEdit>("dumpPath", dumpBox);
    m_chooseDump = Named<QPushButton>("chooseDump", QStringLiteral("..."), dumpBox);
    m_dumpProject = projectList(dumpBox);
    m_dumpProject->setObjectName("dumpProjectType");
    m_dumpProgress = NamedProgress("dumpProgress", dumpBox);
    m_dump = Named<QPushButton>("dump", QStringLiteral("Dump"), dumpBox);
    m_cancel = Named<QPushButton>("cancel", QStringLiteral("Cancel"), dumpBox);
    m_dumpStatus = Named<QLabel>("dumpStatus", dumpBox);
    dg->addWidget(new QLabel(QStringLiteral("Dump Size:"), dumpBox), 0, 0);
    dg->addWidget(m_dumpSizeList, 0, 1);
    dg->addWidget(new QLabel(QStringLiteral("Project Type:"), dumpBox), 0, 2);
    dg->addWidget(m_dumpProject, 0, 3);
    dg->addWidget(new QLabel(QStringLiteral("Dump file:"), dumpBox), 1, 0);
    dg->addWidget(m_dumpPath, 1, 1, 1, 3);
    dg->addWidget(m_chooseDump, 1, 4);
    dg->addWidget(m_dump, 2, 3);
    dg->addWidget(m_cancel, 2, 4);
    dg->addWidget(m_dumpProgress, 3, 0, 1, 5);
    dg->addWidget(m_dumpStatus, 4, 0, 1, 5);
    return dumpBox;
}

void CDialogUPG::ConnectSignals()
{
    m_upgObserver = new QueuedJobObserver(this);
    m_dumpObserver = new QueuedJobObserver(this);
    connect(m_upgObserver, &QueuedJobObserver::status, m_upgStatus, &QLabel::setText);
    connect(m_upgObserver, &QueuedJobObserver::progress, m_upgProgress, &QProgressBar::setValue);
    connect(m_upgObserver, &QueuedJobObserver::finished, this, [this](bool, const QString&) { jobEnded(false); });
    connect(m_dumpObserver, &QueuedJobObserver::status, m_dumpStatus, &QLabel::setText);
    connect(m_dumpObserver, &QueuedJobObserver::progress, m_dumpProgress, &QProgressBar::setValue);
    connect(m_dumpObserver, &QueuedJobObserver::finished, this, [this](bool, const QString&) { jobEnded(true); });

    connect(m_chooseImage, &QPushButton::clicked, this, &CDialogUPG::onChooseImage);
    connect(m_chooseDump, &QPushButton::clicked, this, &CDialogUPG::onChooseDumpFile);
    connect(m_start, &QPushButton::clicked, this, &CDialogUPG::onStart);
    connect(m_exit, &QPushButton::clicked, this, &CDialogUPG::onExit);
    connect(m_dump, &QPushButton::clicked, this, &CDialogUPG::onDump);
    connect(m_cancel, &QPushButton::clicked, this, &CDialogUPG::onCancel);
    connect(m_send, &QPushButton::clicked, this, &CDialogUPG::onSend);
    connect(m_upgProject, qOverload<int>(&QComboBox::currentIndexChanged), this, &CDialogUPG::onUpgProjectChanged);
    connect(m_dumpSizeList, qOverload<int>(&QComboBox::currentIndexChanged), this, &CDialogUPG::onDumpSizeChanged);
}

CDialogUPG::~CDialogUPG() { stopThreads(); }

void CDialogUPG::stopThreads()
{
    // Wake whatever waits, let it end, then forget the threads.
    m_keepGoing = false;
    if (m_jobThread) {
        m_jobCancel = true;
        m_jobThread->Resume();
        m_jobThread->Detach();
        m_jobThread.reset();
    }
    if (m_shellThread) {
        m_shellCancel = true;
        m_shellThread->Resume();
        m_shellThread->Detach();
        m_shellThread.reset();
    }
}

void CDialogUPG::error(const QString& text)
{
    m_lastMessage = text;
    corvane::ErrorBox(this, text);
}

void CDialogUPG::onChooseImage()
{
    QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QString::fromUtf8(kBinFilter));
    if (!path.isEmpty())
        m_imagePath->setText(path);
}

void CDialogUPG::onChooseDumpFile()
{
    QFileDialog dlg(this);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setNameFilter(QString::fromUtf8(kBinFilter));
    dlg.setDefaultSuffix(QStringLiteral("bin"));
    dlg.selectFile(QStringLiteral("*.bin"));
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
        m_dumpPath->setText(dlg.selectedFiles().first());
}

void CDialogUPG::onUpgProjectChanged(int)
{
    // The command box serves the platforms whose running box takes commands.
    const bool shown = selected(m_upgProject).console_commands;
    m_command->setVisible(shown);
    m_send->setVisible(shown);
}

void CDialogUPG::onDumpSizeChanged(int index)
{
    if (index >= 0 && index < 5)
        m_dumpSize = reflasher::kDumpSizes[index];
}

void CDialogUPG::onSend()
{
    QString text = m_command->text();
    if (text.isEmpty()) {
        error(QStringLiteral("Please input cmd first!"));
        return;
    }
    QByteArray bytes = text.toUtf8();
    bytes.append('\r');
    CSerialMonitorSerivce* svc = corvane::SerialService();
    uint32_t sent = 0;
    if (!svc || !svc->SMS_Send(bytes.constData(), static_cast<uint32_t>(bytes.size()), &sent, 1000))
        error(QStringLiteral("Send cmd error!"));
}

void CDialogUPG::setUpgradeButtons(bool enabled)
{
    m_start->setEnabled(enabled);
    m_dump->setEnabled(enabled);
    m_cancel->setEnabled(enabled);
}

void CDialogUPG::setDumpButtons(bool enabled)
{
    m_dump->setEnabled(enabled);
    m_start->setEnabled(enabled);
    m_exit->setEnabled(enabled);
}

void CDialogUPG::onStart()
{
    if (jobRunning())
        return;
    const bootlink::Platform& platform = selected(m_upgProject);
    m_userLimit = reflasher::user_limit_mode_from_settings(m_userLimit);
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.project_type = platform.type;
    p.user_limit_mode = m_userLimit;
    const QString path = m_imagePath->text();
    if (path.isEmpty()) {
        error(QStringLiteral("Please select file first!"));
        return;
    }
    std::string err;
    if (!reflasher::load_padded_image(path.toStdString(), &p.image, &err)) {
        error(QStringLiteral("Please select file first!") + "\n" + QString::fromStdString(err));
        return;
    }
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (!svc || svc->SMS_NumComPortOpen() == 0) {
        error(QStringLiteral("Please open the serial port first!"));
        return;
    }
    auto record = corvane::begin_tab_record(corvane::tab_job("upg", "upgrade", platform.type, path.toStdString()),
                                            m_upgObserver, &err);
    if (!record) {
        error(QString::fromStdString(err));
        return;
    }
    if (platform.calibrates())
        m_keepGoing = true;

    stopThreads();
    m_jobCancel = false;
    m_jobCtx = std::make_unique<bootlink::JobContext>();
    m_jobCtx->observer = record->observer();
    m_jobCtx->cancel = &m_jobCancel;
    m_jobCtx->keep_going = &m_keepGoing;
    m_jobThread = std::make_unique<CKvWorkThread>();
    m_job = std::make_unique<reflasher::UpgJob>(std::move(p), *m_jobCtx, m_jobThread.get());
    m_upgRunning = true;
    m_dumpIsJob = false;
    setUpgradeButtons(false);
    m_upgStatus->setText(QStringLiteral("Please reset the slave STB!"));
    if (!startJob(*m_jobThread, m_job.get(), record)) {
        record->fail("Cannot start the job thread!");
        m_upgRunning = false;
        setUpgradeButtons(true);
        error(QStringLiteral("Cannot start the job thread!"));
    }
}

// The job tells its end to its observer (OnResult) itself.
bool CDialogUPG::startJob(CKvWorkThread& thread, reflasher::UpgJob* job, std::shared_ptr<corvane::TabRecord> record)
{
    thread.Attach([this, job, record]() -> uint32_t {
        reflasher::UpgJobResult r = job->Run();
        record->end();
        // The client that never loaded is the one failure the user is told
        // in a box; every other failure is in the log with its step.
        if (!r.ok && r.failed == reflasher::Step::LoadClient)
            QMetaObject::invokeMethod(
                this, [this] { error(QStringLiteral("Download Upg Client Image Failed!\n")); }, Qt::QueuedConnection);
        return r.ok ? 0 : 1;
    });
    return thread.Start(1) != 0;
}

void CDialogUPG::onExit()
{
    m_keepGoing = false;
    m_jobCancel = true;
    if (m_jobThread)
        m_jobThread->Resume();
}

void CDialogUPG::onDump()
{
    if (jobRunning())
        return;
    const QString path = m_dumpPath->text();
    if (path.isEmpty()) {
        error(QStringLiteral("Please select file first!"));
        return;
    }
    // The file is written only when the dump is complete; check now that it can be.
    QFileInfo fi(path);
    if (::access(fi.absolutePath().toLocal8Bit().constData(), W_OK) != 0 || fi.isDir()) {
        error(QStringLiteral("Cannot write the dump file ") + path);
        return;
    }
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (!svc || svc->SMS_NumComPortOpen() == 0) {
        error(QStringLiteral("Please open the serial port first!"));
        return;
    }
    const bootlink::Platform& platform = selected(m_dumpProject);
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Dump;
    p.project_type = platform.type;
    p.user_limit_mode = m_userLimit;
    p.dump_size = m_dumpSize;
    p.dump_path = path.toStdString();
    std::string err;
    auto record = corvane::begin_tab_record(corvane::tab_job("upg", "dump", platform.type), m_dumpObserver, &err);
    if (!record) {
        error(QString::fromStdString(err));
        return;
    }
    stopThreads();
    m_dumpRunning = true;
    setDumpButtons(false);
    if (platform.dump == bootlink::DumpPath::Shell) {
        // "shell.img" dumps run on a thread of their own with their own cancel event.
        m_shellCancel = false;
        m_dumpIsJob = false;
        m_shellCtx = std::make_unique<bootlink::JobContext>();
        m_shellCtx->observer = record->observer();
        m_shellCtx->cancel = &m_shellCancel;
        m_shellThread = std::make_unique<CKvWorkThread>();
        m_shellJob = std::make_unique<reflasher::UpgJob>(std::move(p), *m_shellCtx, m_shellThread.get());
        startJob(*m_shellThread, m_shellJob.get(), record);
        return;
    }
    if (platform.calibrates())
        m_keepGoing = true;
    m_jobCancel = false;
    m_dumpIsJob = true;
    m_jobCtx = std::make_unique<bootlink::JobContext>();
    m_jobCtx->observer = record->observer();
    m_jobCtx->cancel = &m_jobCancel;
    m_jobCtx->keep_going = &m_keepGoing;
    m_jobThread = std::make_unique<CKvWorkThread>();
    m_job = std::make_unique<reflasher::UpgJob>(std::move(p), *m_jobCtx, m_jobThread.get());
    m_dumpStatus->setText(QStringLiteral("Please reset the slave STB!"));
    startJob(*m_jobThread, m_job.get(), record);
}

void CDialogUPG::onCancel()
{
    m_keepGoing = false;
    if (m_dumpIsJob.load()) {
        m_jobCancel = true;
        if (m_jobThread)
            m_jobThread->Resume();
    } else {
        m_shellCancel = true;
        if (m_shellThread)
            m_shellThread->Resume();
    }
}

void CDialogUPG::jobEnded(bool dump)
{
    if (dump) {
        m_dumpRunning = false;
        setDumpButtons(true);
    } else {
        m_upgRunning = false;
        setUpgradeButtons(true);
    }
    m_dumpIsJob = false;
}
