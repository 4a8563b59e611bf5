#include "DialogBlockUPG.h"

#include "KvBasicCfgIni.h"
#include "KvWorkThread.h"
#include "QueuedJobObserver.h"
#include "SerialMonitorService.h"
#include "TabRecord.h"
#include "ToolCommon.h"
#include "WorkerRun.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using sectorsmith::BlockKind;

struct CDialogBlockUPG::Job {
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    bootlink::JobContext ctx;
    std::unique_ptr<sectorsmith::BlockUpgJob> job;
    sectorsmith::BlockJobResult result;
};

namespace {

const std::vector<BlockKind>& kinds() { return sectorsmith::block_kinds(); }

}  // namespace

QString CDialogBlockUPG::qtFilter(const char* mfcFilter)
{
    const QStringList parts = QString::fromUtf8(mfcFilter).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& name = parts[i];
        const QString& pattern = parts[i + 1];
        filters << (name.contains(QLatin1Char('(') + pattern + QLatin1Char(')')) ? name : name + " (" + pattern + ")");
    }
    return filters.join(QStringLiteral(";;"));
}

CDialogBlockUPG::CDialogBlockUPG(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("UPGBLOCK"));

    auto* grid = new QGridLayout();
    for (size_t i = 0; i < kinds().size(); ++i) {
        auto* b = new QPushButton(QString::fromUtf8(kinds()[i].caption), this);
        b->setObjectName(QString::fromUtf8(kinds()[i].caption));
        grid->addWidget(b, int(i / 3), int(i % 3));
        connect(b, &QPushButton::clicked, this, [this, i] { onBurn(int(i)); });
        m_burn.push_back(b);
    }
    m_exit = new QPushButton(QStringLiteral("Exit"), this);
    m_exit->setObjectName("Exit");
    grid->addWidget(m_exit, 3, 2);

    m_project = new QComboBox(this);
    m_project->setObjectName("projectType");
    for (int type : sectorsmith::project_types())
        m_project->addItem(QString::fromStdString(bootlink::list_text(bootlink::platform(type))), type);
    m_project->setCurrentIndex(0);
    auto* projectRow = new QHBoxLayout();
    projectRow->addWidget(new QLabel(QStringLiteral("Project Type"), this));
    projectRow->addWidget(m_project, 1);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName("progress");
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_status = new QLabel(this);
    m_status->setObjectName("status");

    auto* top = new QVBoxLayout(this);
    top->addLayout(projectRow);
    top->addLayout(grid);
    top->addWidget(m_progress);
    top->addWidget(m_status);
    top->addStretch(1);

    m_tips.Create(this);
    m_tips.SetMaxTipWidth(200);
    m_tips.SetTipBkColor(0xACF7BB);
    for (size_t i = 0; i < kinds().size(); ++i)
        m_tips.AddTool(m_burn[i], QString::fromUtf8(kinds()[i].tip).toStdWString().c_str());
    m_tips.AddTool(m_exit, L"Exit burning.");

    m_observer = new QueuedJobObserver(this);
    connect(m_observer, &QueuedJobObserver::status, m_status, &QLabel::setText);
    connect(m_observer, &QueuedJobObserver::progress, m_progress, &QProgressBar::setValue);
    connect(m_exit, &QPushButton::clicked, this, &CDialogBlockUPG::onExit);
    connect(m_project, qOverload<int>(&QComboBox::currentIndexChanged), this, &CDialogBlockUPG::onPlatformChanged);
    onPlatformChanged(0);
}

CDialogBlockUPG::~CDialogBlockUPG() { letWorkerGo(); }

bool CDialogBlockUPG::busy() const { return m_run && !m_run->done(); }

// A job still running is cancelled and ends by itself; the view does not wait.
void CDialogBlockUPG::letWorkerGo()
{
    if (m_job) {
        m_job->keep_going = false;
        m_job->cancel = true;
    }
    WorkerRun::let_go(m_run);
    m_job.reset();
}

const bootlink::Platform& CDialogBlockUPG::platform() const
{
    return bootlink::platform(m_project->currentData().toInt());
}

void CDialogBlockUPG::error(const QString& text)
{
    m_lastMessage = text;
    corvane::ErrorBox(this, text);
}

void CDialogBlockUPG::setBurnButtons(bool enabled)
{
    for (size_t i = 0; i < kinds().size(); ++i)
        m_burn[i]->setEnabled(enabled && sectorsmith::kind_enabled(kinds()[i], platform()));
}

void CDialogBlockUPG::onPlatformChanged(int)
{
    // A running worker keeps its buttons off; the platform decides once they come back.
    if (!busy())
        setBurnButtons(true);
}

QString CDialogBlockUPG::chooseFile(const BlockKind& kind)
{
    if (m_chooser)
        return m_chooser(kind);
    QFileDialog dlg(this);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setOption(QFileDialog::ReadOnly, true);
    dlg.setNameFilter(qtFilter(kind.dialog->filter));
    dlg.setDefaultSuffix(QString::fromUtf8(kind.dialog->extension));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

bool CDialogBlockUPG::readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error(QStringLiteral("Failed to open selected file!"));
        return false;
    }
    const qint64 size = f.size();
    m_file.assign(size > 0 ? size_t(size) : 0, 0);
    if (size < 0 || f.read(reinterpret_cast<char*>(m_file.data()), size) != size) {
        m_file.clear();
        error(QStringLiteral("Failed to read selected file!"));
        return false;
    }
    m_path = path;
    return true;
}

void CDialogBlockUPG::onBurn(int kindIndex)
{
    if (busy() || kindIndex < 0 || size_t(kindIndex) >= kinds().size())
        return;
    const BlockKind& kind = kinds()[size_t(kindIndex)];
    const QString path = chooseFile(kind);
    if (path.isEmpty()) {
        error(QStringLiteral("Please select file first!"));
        return;
    }
    if (!readFile(path))
        return;
    if (m_file.empty()) {
        error(QStringLiteral("Failed to read selected file!"));
        return;
    }
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (!svc || svc->SMS_NumComPortOpen() == 0) {
        error(QStringLiteral("Please open the serial port first!"));
        return;
    }
    startWorker(kind.id);
}

void CDialogBlockUPG::startWorker(uint8_t id)
{
    letWorkerGo();  // the previous worker has ended: this only forgets it
    auto job = std::make_shared<Job>();
    auto run = std::make_shared<WorkerRun>(m_observer);
    // The row goes in front of the relay: it ends even after the view lets go.
    std::string err;
    const char* kind = id == sectorsmith::kWholeFlashId ? "flash" : "block";
    auto record = corvane::begin_tab_record(corvane::tab_job("upgblock", kind, platform().type, m_path.toStdString()),
                                            &run->relay(), &err);
    if (!record) {
        error(QString::fromStdString(err));
        return;
    }
    sectorsmith::BlockJobParams p;
    p.project_type = platform().type;
    p.block_id = id;
    p.image = m_file;
    CKvBasicCfgIni ini;
    ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"));
    p.check_block_size = sectorsmith::size_check_setting(ini);
    job->ctx.observer = record->observer();
    job->ctx.cancel = &job->cancel;
    job->ctx.keep_going = &job->keep_going;
    job->ctx.pause_scale = m_pauseScale;
    job->job = std::make_unique<sectorsmith::BlockUpgJob>(std::move(p), job->ctx, &run->thread());
    const uint64_t generation = ++m_generation;
    setBurnButtons(false);
    m_status->setText(QStringLiteral("Please reset the slave STB!"));
    const bool started = run->start(
        [job, record] {
            job->result = job->job->Run();
            record->end();
        },
        [this, job, generation] {
            // After the job's last reports; a result of a worker that has since
            // been replaced is not shown.
            QMetaObject::invokeMethod(
                this,
                [this, r = job->result, generation] {
                    if (generation == m_generation)
                        jobEnded(r);
                },
                Qt::QueuedConnection);
        });
    m_job = std::move(job);
    m_run = std::move(run);
    if (!started) {
        record->fail("Cannot start the worker thread!");
        setBurnButtons(true);
        error(QStringLiteral("Cannot start the worker thread!"));
    }
}

void CDialogBlockUPG::onExit()
{
    if (m_job) {
        m_job->keep_going = false;
        m_job->cancel = true;
    }
    if (m_run)
        m_run->thread().Resume();
    setBurnButtons(true);
    m_status->setText(QStringLiteral(" "));
}

void CDialogBlockUPG::jobEnded(const sectorsmith::BlockJobResult& r)
{
    m_lastResult = r;
    // Only a client that did not go out is a message box; a cancel is none.
    if (!r.ok && !r.cancelled && r.failed == sectorsmith::Step::LoadClient)
        error(QStringLiteral("Download Upg Client Image Failed!"));
    if (r.buttons_back)
        setBurnButtons(true);
}
