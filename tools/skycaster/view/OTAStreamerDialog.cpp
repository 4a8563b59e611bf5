#include "OTAStreamerDialog.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "OtaStreamerPages.h"
#include "QueuedJobObserver.h"
#include "Redirect.h"
#include "ToolCommon.h"
#include "ToolTipCtrl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <tuple>

using namespace ota;

// What one run of the worker does (add a DSMCC group, generate, merge), and
// what it found.
struct OTAStreamerDialog::JobPlan {
    int project = kProjectDvbs;
    bool generate = false;
    StreamLayout layout;
    dvbs_upg_info_t dvbs;
    std::string dvbs_pid_text;
    abs_upg_info_t abs;
    std::string image_path;
    bool compress = false;
    DsmccGenerateInput dsmcc;
    std::string out_path, merge_into, merged_out;
    bool merge_checked = false;
    // results
    std::string message;
    bool group_added = false;
};

OTAStreamerDialog::OTAStreamerDialog(QWidget* parent)
    : QWidget(parent), m_redirect(std::make_unique<CRedirect>(this)), m_m2t(m_redirect.get())
{
    setWindowTitle(QStringLiteral("skycaster"));
    setObjectName(QStringLiteral("skycaster"));
    m_ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"));
    m_settings = read_ota_settings(m_ini);
    BuildUi();

    m_observer = new QueuedJobObserver(this);
    connect(m_observer, &QueuedJobObserver::progress, m_progress, &QProgressBar::setValue);
    connect(m_observer, &QueuedJobObserver::finished, this, &OTAStreamerDialog::OnJobFinished);
    connect(m_browseBin, &QPushButton::clicked, this, &OTAStreamerDialog::OnBrowseBinary);
    connect(m_browseMerge, &QPushButton::clicked, this, &OTAStreamerDialog::OnBrowseMerge);
    connect(m_generate, &QPushButton::clicked, this, &OTAStreamerDialog::Generate);
    connect(m_nextGroup, &QPushButton::clicked, this, &OTAStreamerDialog::NextGroup);
    connect(m_clear, &QPushButton::clicked, this, &OTAStreamerDialog::Clear);
    connect(m_project, qOverload<int>(&QComboBox::currentIndexChanged), this, &OTAStreamerDialog::OnProjectChanged);
    connect(m_tabs, &QTabWidget::currentChanged, m_project, &QComboBox::setCurrentIndex);
    OnProjectChanged(m_project->currentIndex());
}

OTAStreamerDialog::~OTAStreamerDialog()
{
    if (m_thread)
        m_thread->Detach();
}

namespace {

QCheckBox* NamedCheck(QWidget* parent, const char* text, const char* name)
{
    auto* c = new QCheckBox(QLatin1String(text), parent);
    c->setObjectName(QLatin1String(name));
    return c;
}

QPushButton* NamedButton(QWidget* parent, const char* text, const char* name)
{
    auto* b = new QPushButton(QLatin1String(text), parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

QLineEdit* NamedEdit(QWidget* parent, const char* name, bool readOnly)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setReadOnly(readOnly);
    return e;
}

// A file row: label, path (read-only) and "Browse".
std::pair<QLineEdit*, QPushButton*> AddFileRow(QWidget* box, QGridLayout* grid, const char* text, const char* pathName,
                                               const char* buttonName, int row)
{
    grid->addWidget(new QLabel(QLatin1String(text), box), row, 0);
    QLineEdit* path = NamedEdit(box, pathName, true);
    grid->addWidget(path, row, 1, 1, 2);
    QPushButton* browse = NamedButton(box, "Browse", buttonName);
    grid->addWidget(browse, row, 3);
    return std::make_pair(path, browse);
}

}  // namespace

void OTAStreamerDialog::BuildUi()
{
    // Everything scrolls when the window is smaller than the tab.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    auto* inner = new QVBoxLayout(content);
    auto* box = new QGroupBox(content);
    box->setMaximumWidth(820);
    auto* grid = new QGridLayout(box);

    BuildProjectRows(box, grid);
    BuildPages(box, grid);
    BuildGroupRow(box, grid);
    BuildStreamSettings(box, grid);
    std::tie(m_mergePath, m_browseMerge) =
        AddFileRow(box, grid, "File To Be Merged  To:", "mergeFile", "browseMerge", 5);
    BuildRunRow(box, grid);
    grid->setColumnStretch(2, 1);
    inner->addWidget(box);
    inner->addStretch(1);
    scroll->setWidget(content);
    outer->addWidget(scroll);

    m_tips->AddTool(m_browseBin,
                    QStringLiteral("Select a flash binary file, it will be the original upgrade base file."));
    m_tips->AddTool(m_repeat, QStringLiteral("Set the Update file Repeat times in the ts file."));
    m_tips->AddTool(m_activateMerger, QStringLiteral("Activate to merge the generatd file into another ts file."));
    m_tips->AddTool(m_browseMerge, QStringLiteral("Select the ts file you hope to merge ota.m2t to."));
    m_tips->AddTool(m_generate, QStringLiteral("Generate new ota file."));
    m_tips->AddTool(m_clear, QStringLiteral("Clear all the inputs."));
}

// The project type, the file flags and the binary file.
void OTAStreamerDialog::BuildProjectRows(QWidget* box, QGridLayout* grid)
{
    grid->addWidget(new QLabel(QLatin1String("Project Type:"), box), 0, 0);
    m_project = new QComboBox(box);
    m_project->setObjectName(QStringLiteral("projectType"));
    grid->addWidget(m_project, 0, 1);
    m_compress = NamedCheck(box, "Is_compress_file", "isCompressFile");
    m_split = NamedCheck(box, "Is_split_mode", "isSplitMode");
    m_force = NamedCheck(box, "Is_force", "isForce");
    auto* flags = new QHBoxLayout;
    for (QCheckBox* c : {m_compress, m_split, m_force})
        flags->addWidget(c);
    flags->addStretch(1);
    grid->addLayout(flags, 0, 2, 1, 2);
    std::tie(m_binPath, m_browseBin) = AddFileRow(box, grid, "Binary File:", "binaryFile", "browseBinary", 1);
}

// One page of settings per project type, in tabs.
void OTAStreamerDialog::BuildPages(QWidget* box, QGridLayout* grid)
{
    m_tips = new COXToolTipCtrl(this);
    m_tips->Create(this);
    m_tips->SetMaxTipWidth(corvane::kToolTipMaxWidth);
    m_tips->SetTipBkColor(corvane::kToolTipBkColorRef);
    m_tabs = new QTabWidget(box);
    m_tabs->setObjectName(QStringLiteral("projectPages"));
    m_dvbsPage = new CDvbsPage(m_tips, this);
    m_absPage = new CAbsPage(m_tips, this);
    m_dsmccPage = new CDsmccPage(m_tips, this);
    m_dvbsPage->SetModes(m_settings.modes);
    m_dsmccPage->SetModes(m_settings.modes);
    for (COtaPage* p :
         {static_cast<COtaPage*>(m_dvbsPage), static_cast<COtaPage*>(m_absPage), static_cast<COtaPage*>(m_dsmccPage)})
        p->hide();
    for (int project : m_settings.projects) {
        m_project->addItem(QString::fromLatin1(project_name(project)));
        m_tabs->addTab(PageOf(project), QString::fromLatin1(project_name(project)));
    }
    grid->addWidget(m_tabs, 2, 0, 1, 4);
}

// "NextGroup", the group number and the merger switch.
void OTAStreamerDialog::BuildGroupRow(QWidget* box, QGridLayout* grid)
{
    m_nextGroup = NamedButton(box, "NextGroup", "nextGroup");
    m_groupNum = NamedEdit(box, "groupNum", true);
    m_groupNum->setText(QStringLiteral("1"));
    m_groupNum->setMaximumWidth(60);
    m_activateMerger = NamedCheck(box, "Activate Merger", "activateMerger");
    auto* group = new QHBoxLayout;
    group->addWidget(m_nextGroup);
    group->addWidget(new QLabel(QStringLiteral("GroupNum:"), box));
    group->addWidget(m_groupNum);
    group->addSpacing(24);
    group->addWidget(m_activateMerger);
    group->addStretch(1);
    grid->addLayout(group, 3, 0, 1, 4);
}

// Two columns of stream settings.
void OTAStreamerDialog::BuildStreamSettings(QWidget* box, QGridLayout* grid)
{
    auto* settings = new QGridLayout;
    auto pair = [&](const char* text, QWidget* w, int row, int col) {
        settings->addWidget(new QLabel(QLatin1String(text), box), row, col);
        settings->addWidget(w, row, col + 1);
    };
    m_repeat = MakeHexEdit(box, "repeat", 2);
    m_upgPid = MakeHexEdit(box, "upgPid", 4);
    m_packetSize = new QComboBox(box);
    m_packetSize->setObjectName(QStringLiteral("packetSize"));
    m_packetSize->addItems({QStringLiteral("188"), QStringLiteral("204")});
    m_loopTimes = NamedEdit(box, "loopTimes", false);
    m_loopTimes->setValidator(new QIntValidator(0, 999, m_loopTimes));
    pair("Upg_File Repeat NO.:0x", m_repeat, 0, 0);
    pair("Upg PID(13Bits):0x", m_upgPid, 0, 3);
    pair("TS Packet Size:", m_packetSize, 1, 0);
    pair("TS Loop Times:", m_loopTimes, 1, 3);
    settings->setColumnMinimumWidth(2, 24);
    settings->setColumnStretch(5, 1);
    grid->addLayout(settings, 4, 0, 1, 4);
}

// The progress bar, "Generate" and "Clear".
void OTAStreamerDialog::BuildRunRow(QWidget* box, QGridLayout* grid)
{
    m_progress = new QProgressBar(box);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_generate = NamedButton(box, "Generate", "generate");
    m_clear = NamedButton(box, "Clear", "clear");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_progress, 1);
    buttons->addWidget(m_generate);
    buttons->addWidget(m_clear);
    grid->addLayout(buttons, 6, 0, 1, 4);
}

void OTAStreamerDialog::Show(const QString& text, bool error)
{
    m_lastMessage = text;
    if (error) {
        corvane::ErrorBox(this, text);
        return;
    }
    corvane::InfoBox(this, QStringLiteral("skycaster"), text);
}

int OTAStreamerDialog::CurrentProject() const
{
    const int i = m_project->currentIndex();
    return i >= 0 && size_t(i) < m_settings.projects.size() ? m_settings.projects[size_t(i)] : -1;
}

COtaPage* OTAStreamerDialog::PageOf(int project) const
{
    switch (project) {
    case kProjectDvbs: return m_dvbsPage;
    case kProjectAbs: return m_absPage;
    case kProjectDsmcc: return m_dsmccPage;
    default: return nullptr;
    }
}

void OTAStreamerDialog::OnProjectChanged(int index)
{
    {
        const QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(index);
    }
    const int project = CurrentProject();
    if (COtaPage* page = PageOf(project)) {
        if (project == kProjectDsmcc || !m_image.empty())
            page->SetDefaults();
        else
            page->ClearFields();
    }
    m_nextGroup->setEnabled(!m_busy && project == kProjectDsmcc);
}

void OTAStreamerDialog::OnBrowseBinary()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Binary File"), QString(),
                                                      QStringLiteral("bin files (*.bin);;All files (*)"));
    if (!path.isEmpty())
        LoadBinary(path);
}

void OTAStreamerDialog::OnBrowseMerge()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("File To Be Merged  To"), QString(),
                                                      QStringLiteral("ts files (*.ts *.m2t);;All files (*)"));
    if (!path.isEmpty())
        ChooseMergeFile(path);
}

void OTAStreamerDialog::LoadBinary(const QString& path)
{
    if (m_busy)
        return;
    std::vector<uint8_t> data;
    std::string error;
    if (!load_flash_image(path.toStdString(), data, error)) {
        Show(QString::fromStdString(error), true);
        return;
    }
    m_image = std::move(data);
    m_binPath->setText(path);
    if (COtaPage* page = PageOf(CurrentProject()))
        page->SetDefaults();
    m_repeat->setText(QString::asprintf("%0X", 2));
}

void OTAStreamerDialog::ChooseMergeFile(const QString& path) { m_mergePath->setText(path); }

void OTAStreamerDialog::DropImage()
{
    m_image.clear();
    m_image.shrink_to_fit();
    m_binPath->clear();
}

bool OTAStreamerDialog::ReadLayout(StreamLayout& layout)
{
    layout.packet_size = m_packetSize->currentIndex() == 1 ? 204 : 188;
    // An empty or zero count still carries the upgrade once.
    layout.repeat = std::max<uint32_t>(1, HexFieldValue(m_repeat));
    layout.loops = std::max<uint32_t>(1, m_loopTimes->text().toUInt());
    const std::string problem = check_layout(layout);
    if (!problem.empty())
        Show(QString::fromStdString(problem), true);
    return problem.empty();
}

bool OTAStreamerDialog::PrepareGroup(JobPlan& plan)
{
    if (m_image.empty()) {
        Show(QStringLiteral("Please select a flash binary file"), true);
        return false;
    }
    const QString problem = m_dsmccPage->CheckFields();
    if (!problem.isEmpty()) {
        Show(problem, true);
        return false;
    }
    if (m_dvbs1.group_count() >= kMaxGroups) {
        Show(QStringLiteral("Maximum group number is 32!"), true);
        return false;
    }
    plan.dsmcc.info = m_dsmccPage->Record();
    plan.dsmcc.compress = m_compress->isChecked();
    plan.dsmcc.split = m_split->isChecked();
    return true;
}

void OTAStreamerDialog::NextGroup()
{
    if (m_busy)
        return;
    auto plan = std::make_unique<JobPlan>();
    plan->project = kProjectDsmcc;
    if (PrepareGroup(*plan))
        StartJob(std::move(plan));
}

void OTAStreamerDialog::Generate()
{
    if (m_busy)
        return;
    if (m_image.empty()) {
        Show(QStringLiteral("Please select a flash binary file"), true);
        return;
    }
    auto plan = std::make_unique<JobPlan>();
    plan->project = CurrentProject();
    plan->generate = true;
    if (!ReadLayout(plan->layout))
        return;
    plan->out_path = CKvBasicCfgIni::path_in_root("ota.m2t");
    plan->merged_out = CKvBasicCfgIni::path_in_root("upgrade.ts");
    plan->merge_checked = m_activateMerger->isChecked();
    plan->merge_into = m_mergePath->text().toStdString();
    plan->image_path = m_binPath->text().toStdString();
    plan->compress = m_compress->isChecked();
    switch (plan->project) {
    case kProjectDvbs:
        plan->dvbs = m_dvbsPage->Record();
        plan->dvbs_pid_text = m_dvbsPage->DataPidText().toStdString();
        break;
    case kProjectAbs: plan->abs = m_absPage->Record(); break;
    case kProjectDsmcc: {
        if (m_upgPid->text().isEmpty()) {
            Show(QStringLiteral("Please input PID!"), true);
            return;
        }
        const uint32_t pid = HexFieldValue(m_upgPid);
        if (pid > 8191) {
            Show(QStringLiteral("PID beyond 0 - 8191,input again!"), true);
            return;
        }
        m_dvbs1.set_upg_pid(static_cast<uint16_t>(pid), m_force->isChecked());
        if (!PrepareGroup(*plan))
            return;
        plan->dsmcc.size_change = m_dsmccPage->SizeChange();
        plan->dsmcc.original_size = m_dsmccPage->OriginalSizeIndex();
        plan->dsmcc.update_size = m_dsmccPage->UpdateSizeIndex();
        break;
    }
    default: return;
    }
    StartJob(std::move(plan));
}

void OTAStreamerDialog::StartJob(std::unique_ptr<JobPlan> plan)
{
    m_plan = std::move(plan);
    SetBusy(true);
    m_progress->setValue(0);
    m_thread = std::make_unique<CKvWorkThread>();
    JobPlan* p = m_plan.get();
    QueuedJobObserver* obs = m_observer;
    m_thread->Attach([this, p, obs]() -> uint32_t {
        const bool ok = RunJob(*p, obs);
        obs->OnFinished(ok, p->message);
        return ok ? 0 : 1;
    });
    if (!m_thread->Start(1)) {
        m_thread.reset();
        m_plan.reset();
        SetBusy(false);
        Show(QStringLiteral("Cannot start the job thread!"), true);
    }
}

// On the worker thread: touches the generators, the image and the plan only.
bool OTAStreamerDialog::RunJob(JobPlan& plan, QueuedJobObserver* obs)
{
    m_m2t.set_progress([obs](uint64_t pos, uint64_t total) {
        const uint64_t percent = total ? pos * 100 / total : 0;
        obs->OnProgress(percent >= 100 ? 0 : static_cast<int>(percent));
    });
    m_m2t.set_output_path(plan.out_path);
    m_m2t.set_layout(plan.layout);
    const auto length = static_cast<uint32_t>(m_image.size());
    if (!plan.generate) {
        const dsmcc_upg_info_t& g = plan.dsmcc.info;
        plan.group_added = m_dvbs1.next_group(g, plan.dsmcc.compress, plan.dsmcc.split, m_image.data(), length, m_m2t,
                                              plan.message) != 0;
        return plan.group_added;
    }
    int ok = 0;
    if (plan.project == kProjectDvbs) {
        ok = generate_dvbs_stream(m_m2t, m_dvbs, plan.dvbs, plan.dvbs_pid_text, m_image.data(), length, plan.compress);
    } else if (plan.project == kProjectAbs) {
        ok = m_m2t.creat_ota_abs_upg_stream(plan.image_path, plan.abs, m_image.data(), length);
    } else {
        ok = generate_dsmcc_stream(m_m2t, m_dvbs1, plan.dsmcc, m_image.data(), length, plan.message);
    }
    if (!ok) {
        if (plan.message.empty())
            plan.message = m_m2t.last_error();
        return false;
    }
    if (!plan.merge_checked) {
        plan.message = "upgrade single file ota.m2t has been generated!";
        return true;
    }
    if (plan.merge_into.empty()) {
        plan.message = "upgrade single file ota.m2t has been generated but there is no merged ts file";
        return true;
    }
    const uint32_t repeat = plan.layout.repeat;
    if (plan.project == kProjectDvbs)
        ok = m_dvbs.merge_dvbs_upg_to_ota(plan.merge_into, repeat, m_m2t, plan.merged_out);
    else if (plan.project == kProjectAbs)
        ok = m_abs.merge_abs_upg_to_ota(plan.merge_into, repeat, m_m2t, plan.merged_out);
    else
        ok = m_dvbs1.merge_dvbs1_upg_to_ota(plan.merge_into, repeat, m_m2t, plan.merged_out);
    plan.message = ok ? "Merged ts file upgrade.ts have been generated!"
                      : "upgrade single file ota.m2t has been generated, but merging failed: " + m_m2t.last_error();
    return ok != 0;
}

void OTAStreamerDialog::OnJobFinished(bool ok, const QString& message)
{
    if (m_thread)
        m_thread->Detach();
    m_thread.reset();
    std::unique_ptr<JobPlan> plan = std::move(m_plan);
    SetBusy(false);
    if (!plan)
        return;
    if (plan->group_added && !plan->generate) {
        DropImage();  // the next group brings its own image
        m_mergePath->clear();
    }
    m_groupNum->setText(QString::number(m_dvbs1.group_count() + 1));
    if (!ok) {
        m_progress->setValue(0);
        Show(message, true);
        return;
    }
    if (plan->generate) {
        m_progress->setValue(99);
        Show(message, false);
    }
    m_progress->setValue(0);
}

void OTAStreamerDialog::SetBusy(bool busy)
{
    m_busy = busy;
    for (QWidget* w :
         {static_cast<QWidget*>(m_generate), static_cast<QWidget*>(m_clear), static_cast<QWidget*>(m_browseBin),
          static_cast<QWidget*>(m_browseMerge), static_cast<QWidget*>(m_project), static_cast<QWidget*>(m_tabs)})
        w->setEnabled(!busy);
    m_nextGroup->setEnabled(!busy && CurrentProject() == kProjectDsmcc);
}

void OTAStreamerDialog::Clear()
{
    if (m_busy)
        return;
    DropImage();
    m_mergePath->clear();
    m_repeat->clear();
    const int project = CurrentProject();
    if (COtaPage* page = PageOf(project))
        page->ClearFields();
    if (project == kProjectDsmcc) {
        m_compress->setChecked(false);
        m_split->setChecked(false);
        m_upgPid->clear();
        m_groupNum->setText(QStringLiteral("1"));
        m_dvbs1.clear_variable_value();
        m_dvbs1.free_dsmcc_info_data();
    }
}
