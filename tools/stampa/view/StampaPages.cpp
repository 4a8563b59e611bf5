#include "StampaPages.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "TabRecord.h"
#include "ToolCommon.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

using stampa::InputType;

namespace {

// The row of a burn pass, begun with the code it is to burn.
std::shared_ptr<corvane::TabRecord> begin_pass_record(const std::string& code, std::string* error)
{
    line::JobStart j = corvane::tab_job("stampa", "burn");
    j.code = code;
    return corvane::begin_tab_record(j, nullptr, error);
}

JobErrorKind pass_error_kind(const stampa::PassResult& r)
{
    using stampa::Outcome;
    return r.ok()                            ? JobErrorKind::None
           : r.outcome == Outcome::Cancelled ? JobErrorKind::Cancelled
           : r.outcome == Outcome::NoBox     ? JobErrorKind::NoBox
           : r.outcome == Outcome::PortLost  ? JobErrorKind::Port
                                             : JobErrorKind::Failed;
}

}  // namespace

// ---- the page's end of the passes ---------------------------------------------------------

// Called on the pass's thread: reads what the page shares through its code
// cursor and flags, and queues everything else onto the page's thread.
class CStampaPageBase::Host : public stampa::IPassHost {
public:
    explicit Host(CStampaPageBase& page) : m_page(page) {}

    std::string bar_code() override
    {
        std::string code = m_page.m_cursor.current();
        beginRecord(code);
        return code;
    }
    bool take_new_scan() override { return m_page.m_newScan.exchange(false); }
    void clear_scan() override { clear_and_focus(); }
    void focus_stop() override
    {
        m_page.post([p = &m_page] { p->m_stop->setFocus(); });
    }
    void clear_and_focus() override
    {
        m_page.m_cursor.set_current("");
        m_page.post([p = &m_page] {
            p->setBarCode(QString());
            p->m_barCode->setFocus();
        });
    }
    void put_back(const std::string& code) override
    {
        m_page.m_cursor.set_current(code);
        m_page.post([p = &m_page, c = QString::fromStdString(code)] { p->setBarCode(c); });
    }
    void add_result_row(const std::string& code, const std::string& status) override
    {
        m_page.post([p = &m_page, c = QString::fromStdString(code), s = QString::fromStdString(status)] {
            p->addResultRow(c, s);
        });
    }
    bool confirm_overwrite(const std::atomic<bool>& stop) override
    {
        return ask([p = &m_page] { return p->askOverwrite(); }, stop);
    }
    bool confirm_reuse(const std::string& code, const std::atomic<bool>& stop) override
    {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            if (!m_reuse.empty() && code == m_reuse)
                return true;  // the operator said so at "Start"
        }
        return ask([p = &m_page, code] { return p->askReuse(code); }, stop);
    }
    void set_reuse(const std::string& code)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_reuse = code;
    }
    stampa::CodeResult advance_code() override
    {
        stampa::CodeResult r = m_page.m_cursor.advance();
        if (r.ok)
            m_page.post([p = &m_page, c = QString::fromStdString(r.code)] { p->setBarCode(c); });
        return r;
    }
    void pass_ended(const stampa::PassResult& r) override
    {
        const JobErrorKind kind = pass_error_kind(r);
        endRecord(kind == JobErrorKind::None ? JobResult::success() : JobResult::failure(kind, r.error, "burn"),
                  r.code);
        m_page.post([p = &m_page, r] {
            if (r.outcome == stampa::Outcome::Success && !r.logged)
                corvane::InfoBox(p, QStringLiteral("Write Log"),
                                 QStringLiteral("%1 is burnt, but its log line was not written: %2")
                                     .arg(QString::fromStdString(r.code), QString::fromStdString(r.error)));
            p->afterPass(r);
        });
    }

    // The row of the run's first pass, begun at "Start".
    void setRecord(std::shared_ptr<corvane::TabRecord> record)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_record = std::move(record);
        m_unrecorded = false;
    }
    // The run has ended: a pass begun and not ended is recorded as cancelled.
    void finishRecord() { endRecord(JobResult::failure(JobErrorKind::Cancelled, "", ""), {}); }

private:
    // A pass's row begins when the pass first asks for its code; a database
    // gone meanwhile leaves the pass unrecorded (the run goes on).
    void beginRecord(const std::string& code)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (m_record || m_unrecorded)
            return;
        std::string err;
        m_record = begin_pass_record(code, &err);
        m_unrecorded = !m_record;  // tried once a pass
        if (m_unrecorded)
            kv_console_printf("stampa: %s\n", err.c_str());
    }
    void endRecord(const JobResult& result, const std::string& code)
    {
        std::shared_ptr<corvane::TabRecord> record;
        {
            std::lock_guard<std::mutex> l(m_mutex);
            record = std::move(m_record);
            m_unrecorded = false;
        }
        if (!record)
            return;
        if (!code.empty())
            record->set_code(code);
        if (!result.ok())
            record->observer()->OnResult(result);
        record->end();
    }

    // Asks the operator on the page's thread and waits for the answer; no
    // answer once the run is stopped.
    bool ask(std::function<bool()> question, const std::atomic<bool>& stop)
    {
        auto answer = std::make_shared<std::atomic<int>>(0);
        m_page.post([question = std::move(question), answer] { *answer = question() ? 1 : 2; });
        while (*answer == 0 && !stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return *answer == 1;
    }

    CStampaPageBase& m_page;
    std::mutex m_mutex;
    std::string m_reuse;
    std::shared_ptr<corvane::TabRecord> m_record;  // the pass under way's (under m_mutex)
    bool m_unrecorded = false;  // its row could not be begun
};

// The reports of one run, queued onto the page's thread; dropped there once
// the page has started another run.
class CStampaPageBase::RunObserver : public IJobObserver {
public:
    RunObserver(CStampaPageBase& page, int serial) : m_page(page), m_serial(serial) {}

    void OnStatus(const std::string& text) override
    {
        m_page.post([p = &m_page, s = m_serial, t = QString::fromStdString(text)] {
            if (p->m_runSerial == s)
                p->setStatus(t);
        });
    }
    void OnFinished(bool, const std::string&) override
    {
        m_page.post([p = &m_page, s = m_serial] {
            if (p->m_runSerial == s)
                p->runFinished();
        });
    }

private:
    CStampaPageBase& m_page;
    const int m_serial;
};

// ---- CStampaPageBase ---------------------------------------------------------------------------

CStampaPageBase::CStampaPageBase(stampa::Platform platform, QWidget* parent)
    : QWidget(parent)
    , m_platform(platform)
    , m_info(stampa::platform_info(platform))
    , m_host(std::make_unique<Host>(*this))
{
    setObjectName(QString::fromUtf8(m_info.page_class));
    m_barCode = new QLineEdit(this);
    m_barCode->setObjectName("barCode");
    connect(m_barCode, &QLineEdit::textChanged, this,
            [this](const QString& t) { m_cursor.set_current(t.toStdString()); });
    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_start->setObjectName("start");
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setObjectName("stop");
    m_status = new QLabel(this);
    m_status->setObjectName("status");
    m_results = new QTreeWidget(this);
    m_results->setObjectName("results");
    m_results->setHeaderLabels({QStringLiteral("Stampa"), QStringLiteral("Status")});
    m_results->setRootIsDecorated(false);
    connect(m_start, &QPushButton::clicked, this, [this] { onStart(); });
    connect(m_stop, &QPushButton::clicked, this, [this] { onStop(); });
}

CStampaPageBase::~CStampaPageBase()
{
    stopRun();
    if (m_thread)
        m_thread->Detach();
}

QString CStampaPageBase::statusText() const { return m_status->text(); }

void CStampaPageBase::onStop() { stopRun(); }

bool CStampaPageBase::startRun(const stampa::PassConfig& config, std::unique_ptr<stampa::BurnLog> log,
                               const std::string& reuse)
{
    // The line database is there, or the run does not start.
    std::string err;
    auto record = begin_pass_record(m_cursor.current(), &err);
    if (!record) {
        error(QString::fromStdString(err));
        afterRun();
        return false;
    }
    // A run that was stopped may still be ending: it has let go of the port
    // and the log before the next one takes them.
    if (m_thread)
        m_thread->Detach();
    m_log = std::move(log);
    m_host->set_reuse(reuse);
    m_host->setRecord(std::move(record));
    m_runObserver = std::make_unique<RunObserver>(*this, ++m_runSerial);
    m_run = std::make_unique<stampa::StampaRun>(*corvane::SerialService(), config, *m_log, *m_host, *m_runObserver);
    m_thread = std::make_unique<CKvWorkThread>();
    m_thread->Attach([host = m_host.get(), run = m_run.get(), th = m_thread.get()]() -> uint32_t {
        const uint32_t rc = run->Run(th);
        host->finishRecord();
        return rc;
    });
    m_running = m_thread->Start(1) != 0;
    if (!m_running) {
        m_host->finishRecord();
        error(QStringLiteral("cannot start the job thread"));
    }
    return m_running;
}

void CStampaPageBase::stopRun()
{
    if (m_run)
        m_run->Stop();
}

void CStampaPageBase::runFinished()
{
    if (m_thread)
        m_thread->Detach();
    m_running = false;
    afterRun();
    emit runEnded();
}

void CStampaPageBase::error(const QString& text)
{
    m_lastMessage = text;
    corvane::ErrorBox(this, text);
}

void CStampaPageBase::setStatus(const QString& text) { m_status->setText(text); }

void CStampaPageBase::setBarCode(const QString& text)
{
    m_barCode->setText(text);
    m_cursor.set_current(text.toStdString());
}

void CStampaPageBase::addResultRow(const QString& code, const QString& status)
{
    auto* row = new QTreeWidgetItem(m_results, {code, status});
    m_results->scrollToItem(row);
}

void CStampaPageBase::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

bool CStampaPageBase::askOverwrite()
{
    const QString text = QStringLiteral("the STB has been burned code, do you want to continue");
    if (corvane::IsHeadless()) {
        m_lastMessage = text;
        kv_console_printf("Warning: %s: %s\n", text.toUtf8().constData(), m_overwriteAnswer ? "OK" : "Cancel");
        return m_overwriteAnswer;
    }
    return QMessageBox::warning(this, QStringLiteral("Warning"), text, QMessageBox::Ok | QMessageBox::Cancel) ==
           QMessageBox::Ok;
}

bool CStampaPageBase::askReuse(const std::string& code)
{
    const QString text = QString::fromStdString(stampa::reuse_question(code));
    if (corvane::IsHeadless()) {
        m_lastMessage = text;
        kv_console_printf("Warning: %s: %s\n", text.toUtf8().constData(), m_reuseAnswer ? "Yes" : "No");
        return m_reuseAnswer;
    }
    return QMessageBox::warning(this, QStringLiteral("Warning"), text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

bool CStampaPageBase::portOpen() const
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (!svc)
        return false;
    for (int open : svc->SMS_IsPortOpen())
        if (open)
            return true;
    return false;
}

void CStampaPageBase::watchKeys()
{
    for (QWidget* w : findChildren<QWidget*>())
        w->installEventFilter(this);
}

bool CStampaPageBase::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_newScan = true;
            m_stop->setFocus();
            return true;
        }
        if (key == Qt::Key_Escape)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CStampaPageBase::keyPressEvent(QKeyEvent* event)
{
    if (!eventFilter(this, event))
        QWidget::keyPressEvent(event);
}

// ---- Alder, Cedar, Dogwood -----------------------------------------------------------------------

namespace {

QLabel* label(const char* text, QWidget* parent) { return new QLabel(QString::fromUtf8(text), parent); }

template <class T>
T* named(T* w, const char* name)
{
    w->setObjectName(QString::fromUtf8(name));
    return w;
}

}  // namespace

CStampaChunkPage::CStampaChunkPage(stampa::Platform platform, QWidget* parent) : CStampaPageBase(platform, parent)
{
    m_inputType = named(new QComboBox(this), "inputType");
    for (const std::string& n : stampa::input_type_names())
        m_inputType->addItem(QString::fromStdString(n));
    m_width = named(new QLineEdit(QString::number(m_info.fixed_width), this), "width");
    m_startCode = named(new QLineEdit(QStringLiteral("0"), this), "startCode");
    m_step = named(new QComboBox(this), "step");
    m_step->addItems({"1", "2", "3", "4"});
    m_baseLabel = label("Base:", this);
    m_base = named(new QComboBox(this), "base");
    m_base->addItems({"Decimal", "Hex"});
    m_logFile =
        named(new QLineEdit(QString::fromStdString(CKvBasicCfgIni::path_in_root(m_info.log_file)), this), "logFile");
    m_browse = named(new QPushButton(QStringLiteral("Browse"), this), "browse");
    m_ok = named(new QPushButton(QStringLiteral("OK"), this), "ok");
    m_next = named(new QPushButton(QStringLiteral("Next"), this), "next");
    m_cancel = named(new QPushButton(QStringLiteral("Cancel"), this), "cancel");
    m_codeList = named(new QListWidget(this), "codeList");
    m_results->setColumnWidth(0, 200);
    m_results->setColumnWidth(1, 150);

    auto* grid = new QGridLayout;
    int row = 0;
    auto add = [&](const char* text, QWidget* w, QWidget* extra = nullptr) {
        grid->addWidget(label(text, this), row, 0);
        grid->addWidget(w, row, 1);
        if (extra)
            grid->addWidget(extra, row, 2);
        ++row;
    };
    add("Input Type:", m_inputType);
    add("Num. of Stampa:", m_width);
    add("Start Stampa:", m_startCode);
    add("Increase:", m_step);
    grid->addWidget(m_baseLabel, row, 0);
    grid->addWidget(m_base, row++, 1);
    add("LogFile:", m_logFile, m_browse);
    grid->addWidget(m_ok, row++, 1);
    add("Bar Code:", m_barCode);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {m_start, m_stop, m_next, m_cancel})
        buttons->addWidget(b);
    auto* top = new QVBoxLayout(this);
    top->addLayout(grid);
    top->addLayout(buttons);
    top->addWidget(m_status);
    top->addWidget(m_codeList);
    top->addWidget(m_results, 1);

    connect(m_ok, &QPushButton::clicked, this, &CStampaChunkPage::onOk);
    connect(m_next, &QPushButton::clicked, this, &CStampaChunkPage::onNext);
    connect(m_cancel, &QPushButton::clicked, this, &CStampaChunkPage::onCancel);
    connect(m_browse, &QPushButton::clicked, this, &CStampaChunkPage::onBrowse);
    connect(m_inputType, qOverload<int>(&QComboBox::currentIndexChanged), this, &CStampaChunkPage::onInputTypeChanged);
    connect(m_codeList, &QListWidget::currentRowChanged, this, &CStampaChunkPage::onCodeSelected);
    for (QPushButton* b : {m_start, m_stop, m_next})
        b->setEnabled(false);
    onInputTypeChanged(0);
    watchKeys();
}

InputType CStampaChunkPage::inputType() const { return static_cast<InputType>(m_inputType->currentIndex()); }

int CStampaChunkPage::width() const { return m_width->text().trimmed().toInt(); }

std::unique_ptr<stampa::BurnLog> CStampaChunkPage::makeLog() const
{
    bool ca = m_platform == stampa::Platform::Cedar && stampa::StampaSettings::load().print_ca_id;
    return std::make_unique<stampa::BurnLog>(
        m_logFile->text().toStdString(),
        m_info.quoted_log_line ? stampa::BurnLog::Format::Quoted : stampa::BurnLog::Format::Plain, ca);
}

void CStampaChunkPage::onInputTypeChanged(int index)
{
    const InputType t = static_cast<InputType>(index);
    m_startCode->clear();
    setBarCode(QString());
    m_barCode->setEnabled(t != InputType::Auto);
    m_next->setEnabled(t == InputType::Manual && !m_ok->isEnabled());
    m_baseLabel->setVisible(t == InputType::Auto);
    m_base->setVisible(t == InputType::Auto);
    m_codeList->setVisible(t == InputType::File);
    m_codeList->clear();
    m_cursor.set_codes({});
    if (t != InputType::File)
        return;
    std::vector<std::string> codes;
    std::string message;
    if (!stampa::read_code_file(CKvBasicCfgIni::path_in_root(stampa::kCodeFileName), &codes, &message)) {
        error(QString::fromStdString(message));
        return;
    }
    for (const std::string& c : codes)
        m_codeList->addItem(QString::fromStdString(c));
    m_cursor.set_codes(std::move(codes));
}

void CStampaChunkPage::onCodeSelected(int row)
{
    if (m_cursor.select(row))
        setBarCode(QString::fromStdString(m_cursor.current()));
}

void CStampaChunkPage::onOk()
{
    const InputType t = inputType();
    stampa::Base base = m_base->currentIndex() == 1 ? stampa::Base::Hex : stampa::Base::Decimal;
    m_cursor.configure(t, width(), m_step->currentIndex() + 1, base);
    auto log = makeLog();
    stampa::CodeResult r =
        stampa::configure_check(m_info, t, width(), m_startCode->text().toStdString(), m_cursor, *log);
    if (!r.ok) {
        error(QString::fromStdString(r.message));
        return;
    }
    if (t != InputType::Scan)
        setBarCode(QString::fromStdString(m_cursor.current()));
    if (t == InputType::File)
        m_codeList->setCurrentRow(m_cursor.selected());
    lockConfig(true);
    m_start->setEnabled(true);
    m_stop->setEnabled(true);
    m_next->setEnabled(t == InputType::Manual);
    m_base->setEnabled(t != InputType::Auto);
    m_barCode->setFocus();
}

void CStampaChunkPage::onStart()
{
    const InputType t = inputType();
    if (!portOpen()) {
        error(QString::fromStdString(m_info.id == stampa::Platform::Birch ? "Not open COM, please check! "
                                                                          : "Open COM failed, please reopen! "));
        return;
    }
    const stampa::Base base = m_base->currentIndex() == 1 ? stampa::Base::Hex : stampa::Base::Decimal;
    stampa::CodeResult follow = m_cursor.start(t, width(), m_step->currentIndex() + 1, base);
    if (!follow.ok) {
        error(QString::fromStdString(follow.message));
        return;
    }
    if (t != InputType::Scan)
        setBarCode(QString::fromStdString(m_cursor.current()));
    if (t == InputType::File)
        m_codeList->setCurrentRow(m_cursor.selected());
    auto log = makeLog();
    const std::string code = m_cursor.current();
    bool reusable = false;
    std::string reuse;
    std::string why = stampa::start_check(m_info, t, width(), code, true, *log, {}, &reusable);
    if (!why.empty() && reusable && askReuse(code)) {
        reuse = code;
        why = stampa::start_check(m_info, t, width(), code, true, *log, reuse);
    }
    if (!why.empty()) {
        error(QString::fromStdString(why));
        return;
    }
    stampa::StampaSettings settings = stampa::StampaSettings::load();
    if (t == InputType::Scan) {
        std::string missing = stampa::scan_keys_check(settings.len_sn, settings.num_sys);
        if (!missing.empty()) {
            error(QString::fromStdString(missing));
            return;
        }
    }
    stampa::PassConfig cfg;
    cfg.platform = m_platform;
    cfg.input = t;
    cfg.width = width();
    cfg.len_sn = settings.len_sn;
    cfg.num_sys = settings.num_sys;
    cfg.pause_scale = m_pauseScale;
    setRunControls(true);
    startRun(cfg, std::move(log), reuse);
}

void CStampaChunkPage::onNext()
{
    stampa::CodeResult r = m_cursor.advance();
    if (!r.ok) {
        error(QString::fromStdString(r.message));
        return;
    }
    setBarCode(QString::fromStdString(r.code));
    if (inputType() == InputType::File)
        m_codeList->setCurrentRow(m_cursor.selected());
    if (inputType() == InputType::Manual || inputType() == InputType::Scan)
        m_start->setEnabled(true);
}

void CStampaChunkPage::onCancel()
{
    stopRun();
    lockConfig(false);
    setBarCode(QString());
}

void CStampaChunkPage::onBrowse()
{
    QString start = QString::fromStdString(CKvBasicCfgIni::path_in_root(m_info.browse_name));
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("LogFile"), start,
                                                QStringLiteral("csv files(*.csv);;all files(*.*)"));
    if (!path.isEmpty())
        m_logFile->setText(path);
}

void CStampaChunkPage::lockConfig(bool locked)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_startCode, m_width, m_step, m_logFile, m_browse, m_ok})
        w->setEnabled(!locked);
}

void CStampaChunkPage::setRunControls(bool running)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_cancel, m_next, m_start, m_base, m_inputType, m_codeList})
        w->setEnabled(!running);
    m_stop->setEnabled(true);
    if (!running)
        m_next->setEnabled(inputType() == InputType::Manual);
}

void CStampaChunkPage::afterPass(const stampa::PassResult& r)
{
    if (inputType() == InputType::File && r.outcome == stampa::Outcome::Success)
        m_codeList->setCurrentRow(m_cursor.selected());
    if (r.outcome == stampa::Outcome::Success || r.outcome == stampa::Outcome::Failed)
        m_cancel->setEnabled(true);
}

void CStampaChunkPage::afterRun()
{
    setRunControls(false);
    // "OK" stays locked; the width is taken again at the next "Start".
    m_width->setEnabled(true);
    m_barCode->setEnabled(inputType() != InputType::Auto);
    if (inputType() == InputType::Scan)
        m_barCode->setFocus();
}

// ---- Birch -----------------------------------------------------------------------------------------

CStampaBirchCommon::CStampaBirchCommon(QWidget* parent) : CStampaPageBase(stampa::Platform::Birch, parent)
{
    m_inputType = named(new QComboBox(this), "inputType");
    m_inputType->addItems({"Manual", "Scan"});
    m_width = named(new QLineEdit(QString::number(m_info.fixed_width), this), "width");
    m_width->setEnabled(false);
    m_edit = named(new QCheckBox(QStringLiteral("Edit"), this), "edit");
    connect(m_edit, &QCheckBox::toggled, m_width, &QWidget::setEnabled);
    m_results->setColumnWidth(0, 300);
    m_results->setColumnWidth(1, 200);

    auto* grid = new QGridLayout;
    grid->addWidget(label("Input Type:", this), 0, 0);
    grid->addWidget(m_inputType, 0, 1);
    grid->addWidget(label("Length of Stampa:", this), 1, 0);
    grid->addWidget(m_width, 1, 1);
    grid->addWidget(m_edit, 1, 2);
    grid->addWidget(label("Bar Code:", this), 2, 0);
    grid->addWidget(m_barCode, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    auto* top = new QVBoxLayout(this);
    top->addLayout(grid);
    top->addLayout(buttons);
    top->addWidget(m_status);
    top->addWidget(m_results, 1);
    connect(m_inputType, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &CStampaBirchCommon::onInputTypeChanged);
    watchKeys();
}

void CStampaBirchCommon::onInputTypeChanged(int index)
{
    // A station switched to scanning stays scanning.
    if (index == static_cast<int>(InputType::Scan))
        m_inputType->setEnabled(false);
}

void CStampaBirchCommon::onStart()
{
    if (!portOpen()) {
        error(QStringLiteral("Not open COM, please check! "));
        return;
    }
    stampa::PassConfig cfg;
    cfg.platform = m_platform;
    cfg.input = static_cast<InputType>(m_inputType->currentIndex());
    cfg.width = m_width->text().trimmed().toInt();
    cfg.client_path = CKvBasicCfgIni::path_in_root(stampa::kBirchClientFile);
    cfg.pause_scale = m_pauseScale;
    m_start->setEnabled(false);
    if (startRun(cfg, std::make_unique<stampa::BurnLog>("", stampa::BurnLog::Format::Plain)))
        setStatus(QStringLiteral("Please reset the slave STB!"));
}

void CStampaBirchCommon::onStop()
{
    stopRun();
    m_start->setEnabled(true);
    setStatus(QString());
}

void CStampaBirchCommon::afterRun() { m_start->setEnabled(true); }
