#include "FirDlg.h"

#include "FPDlg.h"
#include "FirLanguages.h"
#include "FirUi.h"
#include "HWDlg.h"
#include "KeyMapDlg.h"
#include "LEDMapDlg.h"
#include "SerialMonitorService.h"
#include "ToolCommon.h"

#include "BootLink.h"
#include "PanelStart.h"
#include "TabRecord.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>
#include <future>
#include <mutex>

using namespace fir;
using firview::MakeButton;

namespace {

const char* const kPageNames[] = {"Front Panel", "Key Map", "HW Info", "LED Map"};
const char* const kBinFilter = "bin files (*.bin);;All Files (*.*)";

}  // namespace

// The exchanges' reports, queued onto the view's thread. Reports still
// queued when the view goes are dropped with it.
class CFirDlg::PanelEvents : public IPanelEvents {
public:
    explicit PanelEvents(CFirDlg* view) : m_view(view) {}
    std::atomic<bool> closing{false};

    void OnStatus(const std::string& text) override
    {
        post([text](CFirDlg* v) { v->m_status->setText(QString::fromStdString(text)); });
    }
    void OnKeyLearned(const LearnedKey& key) override
    {
        post([key](CFirDlg* v) { v->m_keys->ShowLearnedKey(key); });
    }
    void OnLedMap(const LedMapBytes& map) override
    {
        post([map](CFirDlg* v) { v->m_led->SetMap(map); });
    }
    void OnMessage(const std::string& text) override
    {
        post([text](CFirDlg* v) { firview::ShowError(v, QString::fromStdString(text)); });
    }
    void OnExchangeEnded(PanelExchange which, const PanelResult& r) override
    {
        if (which == PanelExchange::SendConfig)
            end_send(r);
        post([which](CFirDlg* v) { v->OnExchangeEnded(which); });
    }
    // Waits for the user's answer; a view that is closing answers "cancel".
    bool AskRetry(const std::string& text) override
    {
        auto answer = std::make_shared<std::promise<bool>>();
        std::future<bool> got = answer->get_future();
        post([answer, text](CFirDlg* v) { answer->set_value(v->AskRetryBox(QString::fromStdString(text))); });
        while (got.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
            if (closing)
                return false;
        return got.get();
    }

    // The row of the send about to start; ended, on the exchange's thread,
    // with the send's result.
    void begin_send(std::shared_ptr<corvane::TabRecord> record)
    {
        std::lock_guard<std::mutex> l(m_sendMutex);
        m_send = std::move(record);
    }
    void end_send(const PanelResult& r)
    {
        std::shared_ptr<corvane::TabRecord> record;
        {
            std::lock_guard<std::mutex> l(m_sendMutex);
            record.swap(m_send);
        }
        if (!record)
            return;
        record->observer()->OnResult(r.ok() ? JobResult::success()
                                            : JobResult::failure(panel_error_kind(r), r.error, "send"));
        record->end();
    }

private:
    template <class F>
    void post(F f)
    {
        CFirDlg* view = m_view;
        QMetaObject::invokeMethod(
            view, [view, f] { f(view); }, Qt::QueuedConnection);
    }
    CFirDlg* m_view;
    std::mutex m_sendMutex;
    std::shared_ptr<corvane::TabRecord> m_send;
};

CFirDlg::CFirDlg(QWidget* parent) : QWidget(parent)
{
    m_events = std::make_unique<PanelEvents>(this);
    m_session = std::make_unique<CPanelSession>(corvane::SerialService(), m_events.get());

    setWindowTitle(QStringLiteral("Customization"));
    setObjectName(QStringLiteral("Customization"));

    auto* outer = new QVBoxLayout(this);
    auto* top = new QGridLayout;
    m_platform = new QComboBox(this);
    m_platform->setObjectName(QStringLiteral("projectType"));
    for (int i = 0; i < kPlatformCount; ++i)
        m_platform->addItem(QString::fromUtf8(traits(static_cast<Platform>(i)).display));
    top->addWidget(new QLabel(QStringLiteral("Project Type:"), this), 0, 0);
    top->addWidget(m_platform, 0, 1);
    m_input = firview::MakeEdit(this, "input");
    QPushButton* browseIn = MakeButton(this, "Browse", "browseInput");
    top->addWidget(new QLabel(QStringLiteral("Input Flash Binary From:"), this), 1, 0);
    top->addWidget(m_input, 1, 1, 1, 3);
    top->addWidget(browseIn, 1, 4);
    outer->addLayout(top);

    auto* actions = new QHBoxLayout;
    m_parse = MakeButton(this, "Parse", "parse");
    m_clear = MakeButton(this, "Clear", "clear");
    m_connect = MakeButton(this, "Connect with Panel", "connect");
    m_sendConfig = MakeButton(this, "Send Config to Panel", "sendConfig");
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    for (QPushButton* b : {m_parse, m_clear, m_connect})
        actions->addWidget(b);
    actions->addWidget(new QLabel(QStringLiteral("upg info:"), this));
    actions->addWidget(m_status, 1);
    actions->addWidget(m_sendConfig);
    outer->addLayout(actions);

    auto* middle = new QHBoxLayout;
    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("pageTree"));
    m_tree->setHeaderHidden(true);
    m_tree->setMaximumWidth(160);
    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("pageArea"));
    m_fp = new CFPDlg(&m_session->lamp, m_pages);
    m_keys = new KeyMapDlg(&m_session->keys, m_pages);
    m_hw = new CHWDlg(m_pages);
    m_led = new LEDMapDlg(&m_ledMap, &m_session->led, m_pages);
    for (QWidget* page : std::initializer_list<QWidget*>{m_fp, m_keys, m_hw, m_led})
        m_pages->addWidget(page);
    m_pages->setEnabled(false);
    middle->addWidget(m_tree);
    middle->addWidget(m_pages, 1);
    outer->addLayout(middle, 1);

    auto* bottom = new QHBoxLayout;
    m_output = firview::MakeEdit(this, "output");
    QPushButton* browseOut = MakeButton(this, "Browse", "browseOutput");
    m_generate = MakeButton(this, "Generate", "generate");
    bottom->addWidget(new QLabel(QStringLiteral("Output Flash Binary To:"), this));
    bottom->addWidget(m_output, 1);
    bottom->addWidget(browseOut);
    bottom->addWidget(m_generate);
    outer->addLayout(bottom);

    connect(browseIn, &QPushButton::clicked, this, &CFirDlg::OnBrowseInput);
    connect(browseOut, &QPushButton::clicked, this, &CFirDlg::OnBrowseOutput);
    connect(m_parse, &QPushButton::clicked, this, [this] { Parse(); });
    connect(m_clear, &QPushButton::clicked, this, &CFirDlg::Clear);
    connect(m_connect, &QPushButton::clicked, this, &CFirDlg::ConnectWithPanel);
    connect(m_sendConfig, &QPushButton::clicked, this, &CFirDlg::SendConfig);
    connect(m_generate, &QPushButton::clicked, this, [this] { Generate(); });
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CFirDlg::OnTreeSelection);
    connect(m_fp, &CFPDlg::lightAllRequested, this, &CFirDlg::OnLightAll);
    connect(m_fp, &CFPDlg::dimAllRequested, this, &CFirDlg::OnDimAll);
    connect(m_fp, &CFPDlg::lampTestRequested, this, &CFirDlg::OnLampTest);
    connect(m_keys, &KeyMapDlg::keyAcquisitionRequested, this, &CFirDlg::OnKeyAcquisition);
    connect(m_led, &LEDMapDlg::ledMapRequested, this, &CFirDlg::OnLedMapAcquisition);
}

CFirDlg::~CFirDlg()
{
    m_events->closing = true;
    m_session.reset();
}

void CFirDlg::ChooseInput(const QString& path) { m_input->setText(path); }

void CFirDlg::ChooseOutput(const QString& path)
{
    QString p = path;
    if (!p.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive))
        p += QLatin1String(".bin");
    m_output->setText(p);
}

void CFirDlg::OnBrowseInput()
{
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QLatin1String(kBinFilter));
    if (!path.isEmpty())
        ChooseInput(path);
}

void CFirDlg::OnBrowseOutput()
{
    const QString path = QFileDialog::getSaveFileName(this, QString(), QString(), QLatin1String(kBinFilter));
    if (!path.isEmpty())
        ChooseOutput(path);
}

bool CFirDlg::Parse()
{
    if (m_input->text().isEmpty()) {
        firview::ShowError(this, QStringLiteral("Please select input file!"));
        return false;
    }
    Platform p = Platform::Base;
    platform_from_index(m_platform->currentIndex(), &p);
    ParsedImage parsed;
    FirResult res = load_image(p, m_input->text().toStdString(), &parsed);
    if (!res.ok) {
        m_parsed.image.clear();  // the previous record stays
        firview::ShowResult(this, res);
        return false;
    }
    for (const std::string& note : parsed.notes)
        firview::Log(__LINE__, (note + "\n").c_str());
    m_parsed = std::move(parsed);
    m_record = m_parsed.record;
    std::copy(m_record.led_map(), m_record.led_map() + kLedMapSize, m_ledMap.begin());
    LoadLanguages();
    FillPages();
    FillTree();
    m_pages->setEnabled(true);
    m_parse->setEnabled(false);
    return true;
}

void CFirDlg::LoadLanguages()
{
    std::string detail;
    if (read_language_list(language_file_path(), &m_languages, &detail) == LanguageFile::Missing) {
        if (!detail.empty())
            firview::Log(__LINE__, (detail + "\n").c_str());
        firview::ShowError(this, QStringLiteral("config.birch.xml is not exist!!!"));
    }
    m_hw->SetLanguageCaptions(language_captions(m_languages));
}

void CFirDlg::FillPages()
{
    const Platform p = m_parsed.platform;
    m_fp->SetPlatform(p);
    m_hw->SetPlatform(p);
    m_keys->SetPlatform(p);
    m_led->SetPlatform(p);
    m_fp->Fill(fill_front_panel(m_record.config(), p));
    m_hw->Fill(fill_hardware(m_record.config(), p, m_hw->LanguageCaptions()));
    if (m_languages.empty())
        firview::ShowError(this, QStringLiteral("Configuration language error in config.birch.xml!!!"));
    // Without its script the key page has no names: no rows, the user codes only.
    if (!m_parsed.script_ok)
        firview::ShowError(this, QStringLiteral("Wrong binary file, script error!"));
    m_keys->Fill(m_parsed.names, m_record);
}

void CFirDlg::FillTree()
{
    m_tree->clear();
    for (const char* name : kPageNames)
        m_tree->addTopLevelItem(new QTreeWidgetItem(QStringList{QLatin1String(name)}));
    m_tree->setCurrentItem(m_tree->topLevelItem(0));
    ShowPage(QLatin1String(kPageNames[0]));
}

void CFirDlg::OnTreeSelection()
{
    const QList<QTreeWidgetItem*> items = m_tree->selectedItems();
    if (!items.isEmpty())
        ShowPage(items.front()->text(0));
}

void CFirDlg::ShowPage(const QString& name)
{
    QWidget* pages[] = {m_fp, m_keys, m_hw, m_led};
    for (int i = 0; i < 4; ++i)
        if (name.compare(QLatin1String(kPageNames[i]), Qt::CaseInsensitive) == 0) {
            m_pages->setCurrentWidget(pages[i]);
            if (QTreeWidgetItem* item = m_tree->topLevelItem(i); item && m_tree->currentItem() != item) {
                const QSignalBlocker block(m_tree);
                m_tree->setCurrentItem(item);
            }
            if (pages[i] == m_led)
                m_led->SetButtonsForFpType(m_fp->FpType());
        }
}

void CFirDlg::Clear()
{
    m_input->clear();
    m_output->clear();
    m_record.clear();
    m_ledMap.fill(0);
    // Without its record the image is not written back either.
    m_parsed = ParsedImage();
    m_connect->setEnabled(true);
    m_parse->setEnabled(true);
    m_pages->setEnabled(false);
    m_fp->ResetLampTest();
    m_keys->ResetGetKey();
    m_led->ResetGetLedMap();
    m_status->clear();
    m_session->Clear();
    m_tree->clear();
    m_keys->Clear();
}

bool CFirDlg::GatherPages()
{
    // Only what differs from the record as the pages would show it is
    // stored: bytes nobody changed stay as the image has them.
    const Platform p = m_parsed.platform;
    const FrontPanelFields fpWas = fill_front_panel(m_record.config(), p);
    FirResult res = gather_front_panel(m_fp->Fields(), p, m_record.config(), &fpWas);
    if (res.ok) {
        const HardwareFields hwWas = fill_hardware(m_record.config(), p, m_hw->LanguageCaptions());
        res = gather_hardware(m_hw->Fields(), p, m_hw->LanguageCaptions(), m_record.config(), &hwWas);
    }
    if (res.ok)
        res = m_keys->Gather(&m_record);
    if (!res.ok) {
        firview::ShowResult(this, res);
        return false;
    }
    m_record.set_led_map(m_ledMap.data());
    return true;
}

bool CFirDlg::Generate()
{
    if (m_output->text().isEmpty()) {
        firview::ShowError(this, QStringLiteral("Please select output file!"));
        return false;
    }
    if (!HasImage()) {
        firview::ShowMessage(this, QStringLiteral("Error"), QStringLiteral("Save Data Failed!!"));
        return false;
    }
    if (!GatherPages())
        return false;
    std::vector<uint8_t> out;
    FirResult res = generate_image(m_parsed, m_record, &out);
    if (!res.ok) {
        firview::Log(__LINE__, (res.detail + "\n").c_str());
        firview::ShowMessage(this, QStringLiteral("Error"), QString::fromStdString(res.message));
        return false;
    }
    const std::string path = m_output->text().toStdString();
    if (!bootlink::write_file_atomic(path, out.data(), out.size())) {
        firview::ShowError(this, QStringLiteral("Can't open output file!"));
        return false;
    }
    firview::ShowSuccess(this, QString::fromStdString(res.message));
    return true;
}

void CFirDlg::ConnectWithPanel()
{
    Platform p = Platform::Base;
    platform_from_index(m_platform->currentIndex(), &p);
    m_connect->setEnabled(false);
    m_status->setText(QStringLiteral("Please reset the slave STB!"));
    // Without a parsed image the panel gets the platform's empty record.
    const CPanelRecord record = HasImage() ? m_record : CPanelRecord::ForPlatform(p);
    if (!m_session->StartConnect(p, record)) {
        m_status->clear();
        m_connect->setEnabled(true);
        return;
    }
    emit connectRequested(m_platform->currentIndex());
}

void CFirDlg::SendConfig()
{
    if (HasImage() && !GatherPages())
        return;
    std::string error;
    auto record = corvane::begin_tab_record(
        corvane::tab_job("panel", "send", -1, HasImage() ? m_input->text().toStdString() : std::string()), nullptr,
        &error);
    if (!record) {
        firview::ShowError(this, QString::fromStdString(error));
        return;
    }
    m_events->begin_send(record);
    // A send refused at once has ended already, unless another exchange
    // still runs.
    if (!m_session->StartSendConfig(m_record))
        m_events->end_send({PanelOutcome::Refused, "another exchange is still running"});
}

void CFirDlg::LightOrDim(uint8_t how) { m_session->StartLightOrDim(how == 0x01); }

void CFirDlg::OnLampTest()
{
    if (!m_session->StartLampTest())
        m_fp->ResetLampTest();
}

void CFirDlg::OnKeyAcquisition()
{
    if (!m_session->StartKeyAcquisition())
        m_keys->ResetGetKey();
}

void CFirDlg::OnLedMapAcquisition()
{
    if (!m_session->StartLedMapAcquisition())
        m_led->ResetGetLedMap();
}

void CFirDlg::OnExchangeEnded(PanelExchange which)
{
    switch (which) {
    case PanelExchange::Keys: m_keys->ResetGetKey(); break;
    case PanelExchange::LedMap: m_led->ResetGetLedMap(); break;
    case PanelExchange::Lamp: m_fp->ResetLampTest(); break;
    default: break;
    }
}

bool CFirDlg::AskRetryBox(const QString& text)
{
    if (corvane::IsHeadless()) {
        firview::Log(__LINE__, (text.toStdString() + " (cancelled: no display)\n").c_str());
        return false;
    }
    return QMessageBox::question(this, QStringLiteral("error"), text, QMessageBox::Retry | QMessageBox::Cancel) ==
           QMessageBox::Retry;
}
