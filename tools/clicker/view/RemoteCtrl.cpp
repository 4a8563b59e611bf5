#include "RemoteCtrl.h"

#include "KeyButton.h"
#include "LogDialog.h"
#include "ToolCommon.h"
#include "ToolTipCtrl.h"

#include <KvBasicLog.h>

#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>

#include <algorithm>
#include <random>

namespace {

constexpr int kDefaultBaudIndex = 5;  // 4800
constexpr int kDefaultDataIndex = 4;  // 8 bits
constexpr int kKeyButtonId = 60000;  // key button j is child 60000 + j
const char* const kParity[] = {"NOPARITY", "ODDPARITY", "EVENPARITY", "MARKPARITY", "SPACEPARITY"};
const char* const kStopBits[] = {"ONESTOPBIT", "ONE5STOPBITS", "TWOSTOPBITS"};

serialport_config_tag default_settings(int port_index)
{
    serialport_config_tag c;
    c.port_index = port_index;
    c.baud_rate = kv::supported_baud_rates()[kDefaultBaudIndex];
    c.data_bits = 4 + kDefaultDataIndex;
    c.parity = KV_NOPARITY;
    c.stop_bits = KV_ONESTOPBIT;
    return c;
}

QPushButton* make_button(QWidget* parent, const char* name, const QString& text, QRect where)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(where);
    return b;
}

QComboBox* make_list(QWidget* parent, const char* name, QRect where)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setGeometry(where);
    return c;
}

void make_label(QWidget* parent, const QString& text, QRect where) { (new QLabel(text, parent))->setGeometry(where); }

}  // namespace

CRemoteCtrl::CRemoteCtrl(QWidget* parent)
    : QWidget(parent), m_ctrl(std::make_unique<CKvBasicRemoteCtrl>()), m_table(std::make_unique<tag_record_table>())
{
    setWindowTitle(QStringLiteral("Remote_Ctrl"));
    m_ctrl->m_pTable = m_table.get();
    m_ctrl->m_pSerial = corvane::SerialService();
    m_session = std::make_unique<clicker::CRemoteSession>(*m_ctrl, static_cast<clicker::IRemoteSink&>(*this));
    BuildControls();
    AddTips();
    InitialUpdate();
    SyncModeButtons();
}

CRemoteCtrl::~CRemoteCtrl()
{
    m_session.reset();  // its threads end before the table goes
    m_ctrl->m_pTable = nullptr;
    m_table.reset();
}

void CRemoteCtrl::BuildControls()
{
    setMinimumSize(900, 560);
    make_label(this, QStringLiteral("Port:"), QRect(10, 12, 40, 22));
    m_port = make_list(this, "port", QRect(50, 10, 200, 24));
    make_label(this, QStringLiteral("Baud:"), QRect(260, 12, 40, 22));
    m_baud = make_list(this, "baud", QRect(300, 10, 90, 24));
    for (int rate : kv::supported_baud_rates())
        m_baud->addItem(QString::number(rate), rate);
    m_dataBits = make_list(this, "dataBits", QRect(0, 0, 60, 24));
    for (int bits = 4; bits <= 8; ++bits)
        m_dataBits->addItem(QString::number(bits), bits);
    m_parity = make_list(this, "parity", QRect(0, 0, 120, 24));
    for (int i = 0; i < 5; ++i)
        m_parity->addItem(QLatin1String(kParity[i]), i);
    m_stopBits = make_list(this, "stopBits", QRect(0, 0, 120, 24));
    for (int i = 0; i < 3; ++i)
        m_stopBits->addItem(QLatin1String(kStopBits[i]), i);
    for (QComboBox* hidden : {m_dataBits, m_parity, m_stopBits})
        hidden->hide();
    m_open = make_button(this, "openPort", QStringLiteral("Open"), QRect(400, 9, 80, 26));
    connect(m_open, &QPushButton::clicked, this, &CRemoteCtrl::OnPortButton);
    connect(m_port, &QComboBox::currentIndexChanged, this, [this](int) {
        const int i = SelectedPort();
        if (i >= 0 && static_cast<size_t>(i) < m_portSettings.size())
            ShowPortSettings(m_portSettings[static_cast<size_t>(i)]);
    });

    make_label(this, QStringLiteral("Key File"), QRect(10, 57, 60, 22));
    m_keyFile = new QLineEdit(this);
    m_keyFile->setObjectName(QStringLiteral("keyFile"));
    m_keyFile->setReadOnly(true);
    m_keyFile->setGeometry(70, 55, 360, 24);
    m_loadKeys = make_button(this, "loadKeyMap", QStringLiteral("..."), QRect(440, 54, 40, 26));
    connect(m_loadKeys, &QPushButton::clicked, this, [this] {
        QString path = QFileDialog::getOpenFileName(this, QString(), QString(),
                                                    QStringLiteral("MyType Files (*.xls);;MyType Files (*.xlsx)"));
        if (!path.isEmpty())
            ChooseKeyMap(path);
    });

    make_label(this, QStringLiteral("Random"), QRect(10, 112, 70, 22));
    m_random = make_button(this, "random", QStringLiteral("Start"), QRect(80, 110, 70, 26));
    make_label(this, QStringLiteral("Record"), QRect(170, 112, 70, 22));
    m_record = make_button(this, "record", QStringLiteral("Start"), QRect(240, 110, 70, 26));
    make_label(this, QStringLiteral("Simulation"), QRect(330, 112, 80, 22));
    m_simulation = make_button(this, "simulation", QStringLiteral("Start"), QRect(410, 110, 70, 26));
    connect(m_random, &QPushButton::clicked, this, &CRemoteCtrl::OnRandomButton);
    connect(m_record, &QPushButton::clicked, this, &CRemoteCtrl::OnRecordButton);
    connect(m_simulation, &QPushButton::clicked, this, &CRemoteCtrl::OnSimulationButton);

    m_logGroup = new QGroupBox(QStringLiteral("Log"), this);
    m_logGroup->setObjectName(QStringLiteral("logGroup"));
    m_log = new CLogDialog(m_logGroup);
    m_log->setObjectName(QStringLiteral("logPane"));
}

void CRemoteCtrl::AddTips()
{
    m_tips = new COXToolTipCtrl(this);
    m_tips->Create(this);
    m_tips->SetMaxTipWidth(200);
    m_tips->SetTipBkColor(0xACF7BB);
    m_tips->AddTool(m_loadKeys, L"Select a correct .xls file.");
    m_tips->AddTool(m_random, L"Start or stop to random send ir_keys");
    m_tips->AddTool(m_record, L"Start or stop to record the ir_keys sent.");
    m_tips->AddTool(m_simulation, L"Start or stop to simulate sending ir_keys.");
    m_tips->AddTool(m_port, L"Suggest not to use usb-to-serial cable.");
    m_tips->AddTool(m_baud, L"Default set 4800.");
}

void CRemoteCtrl::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    const int left = 20 + 90 * 6 + 10;
    m_logGroup->setGeometry(left, 10, std::max(200, width() - left - 10), std::max(200, height() - 20));
    m_log->setGeometry(2, 17, m_logGroup->width() - 4, m_logGroup->height() - 19);
}

// ---------------------------------------------------------------------------
// Ports

void CRemoteCtrl::InitialUpdate()
{
    CSerialMonitorSerivce* svc = m_ctrl->m_pSerial;
    if (!svc)
        return;
    int count = 0;
    std::vector<serialport_info_tag> ports;
    serialport_config_tag cfg;
    svc->SMS_GetCurSvcParam(&count, &ports, &cfg);
    std::vector<int> open = svc->SMS_IsPortOpen();
    const bool any_open = std::find(open.begin(), open.end(), 1) != open.end();
    if (any_open) {
        m_open->setText(QStringLiteral("Close"));
        m_portSettings.assign(ports.size(), cfg);
        for (size_t i = 0; i < ports.size(); ++i)
            m_portSettings[i].port_index = static_cast<int>(i);
    } else {
        svc->SMS_SearchAllSerialPorts(&count, &ports);
        if (count > 0) {
            m_open->setText(QStringLiteral("Open"));
            m_portSettings.clear();
            for (int i = 0; i < count; ++i)
                m_portSettings.push_back(default_settings(i));
            LogStoreFileLine("RemoteCtrl", __LINE__);
            WriteLog(64, "Search Port Cnt = %d!\n", count);
        }
        cfg = m_portSettings.empty() ? default_settings(0)
                                     : m_portSettings[static_cast<size_t>(std::clamp(cfg.port_index, 0, count - 1))];
    }
    FillPortList(ports);
    SelectPort(cfg.port_index);
    ShowPortSettings(cfg);
    m_port->setEnabled(!any_open);
    m_baud->setEnabled(!any_open);
    m_session->SetPortIndex(cfg.port_index);
}

void CRemoteCtrl::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    // Ports named since (a virtual STB's pseudo-terminal) join the list.
    CSerialMonitorSerivce* svc = m_ctrl->m_pSerial;
    if (!svc || m_port->count() == static_cast<int>(svc->SMS_IsPortOpen().size()))
        return;
    int count = 0;
    std::vector<serialport_info_tag> ports;
    svc->SMS_GetCurSvcParam(&count, &ports, nullptr);
    const int selected = SelectedPort();
    while (m_portSettings.size() < ports.size())
        m_portSettings.push_back(default_settings(static_cast<int>(m_portSettings.size())));
    FillPortList(ports);
    SelectPort(selected);
}

void CRemoteCtrl::FillPortList(const std::vector<serialport_info_tag>& ports)
{
    QSignalBlocker block(m_port);
    m_port->clear();
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string& shown = ports[i].friendly_name.empty() ? ports[i].name : ports[i].friendly_name;
        m_port->addItem(QString::fromStdString(shown), static_cast<int>(i));
    }
}

bool CRemoteCtrl::SelectPort(int service_index)
{
    const int row = m_port->findData(service_index);
    if (row < 0)
        return false;
    m_port->setCurrentIndex(row);
    return true;
}

int CRemoteCtrl::SelectedPort() const { return m_port->currentIndex() < 0 ? -1 : m_port->currentData().toInt(); }

void CRemoteCtrl::ShowPortSettings(const serialport_config_tag& cfg)
{
    auto pick = [](QComboBox* list, int value, int fallback) {
        int row = list->findData(value);
        list->setCurrentIndex(row >= 0 ? row : fallback);
    };
    pick(m_baud, cfg.baud_rate, kDefaultBaudIndex);
    pick(m_dataBits, cfg.data_bits, kDefaultDataIndex);
    pick(m_parity, cfg.parity, 0);
    pick(m_stopBits, cfg.stop_bits, 0);
}

serialport_config_tag CRemoteCtrl::SelectedConfig() const
{
    serialport_config_tag c;
    c.port_index = SelectedPort();
    c.baud_rate = m_baud->currentData().toInt();
    c.data_bits = m_dataBits->currentData().toInt();
    c.parity = m_parity->currentData().toInt();
    c.stop_bits = m_stopBits->currentData().toInt();
    return c;
}

void CRemoteCtrl::OnPortButton()
{
    CSerialMonitorSerivce* svc = m_ctrl->m_pSerial;
    const int index = SelectedPort();
    if (!svc || index < 0)
        return;
    std::vector<int> open = svc->SMS_IsPortOpen();
    if (static_cast<size_t>(index) < open.size() && open[static_cast<size_t>(index)]) {
        if (m_open->text() == QLatin1String("Open")) {
            Message(QStringLiteral("COM had been opened !!!"));
        } else if (svc->SMS_ClosePort(index)) {
            m_port->setEnabled(true);
            m_baud->setEnabled(true);
            m_open->setText(QStringLiteral("Open"));
        }
        return;
    }
    const serialport_config_tag cfg = SelectedConfig();
    if (svc->SMS_OpenPort(cfg)) {
        m_port->setEnabled(false);
        m_baud->setEnabled(false);
        m_open->setText(QStringLiteral("Close"));
        if (static_cast<size_t>(index) < m_portSettings.size())
            m_portSettings[static_cast<size_t>(index)] = cfg;
    } else {
        Message(QStringLiteral("Open COM failed!!"));
    }
    svc->SMS_StopSvc();
    m_session->SetPortIndex(index);
}

// ---------------------------------------------------------------------------
// Key map and keys

void CRemoteCtrl::ChooseKeyMap(const QString& path)
{
    m_keyFile->setText(path);
    DestroyKeyButtons();
    if (const char* error = m_session->LoadKeyMap(path.toStdString())) {
        Message(QString::fromUtf8(error));
        return;
    }
    CreateKeyButtons(m_session->KeyMap());
    m_keyMapLoaded = true;
    SyncModeButtons();
}

void CRemoteCtrl::CreateKeyButtons(const tag_remote& map)
{
    for (int j = 0; j < map.key_num; ++j) {
        const size_t k = static_cast<size_t>(j);
        auto* b = new CKeyButton(QString::fromStdString(map.name[k]), QString::fromStdString(map.shortcut[k]),
                                 static_cast<int32_t>(std::stoll(map.value[k])), this);
        b->setObjectName(QStringLiteral("key%1").arg(kKeyButtonId + j));
        b->setGeometry(CKeyButton::Place(j));
        connect(b, &QPushButton::clicked, this, [this, b] { OnKeyClicked(b); });
        b->show();
        m_keys.push_back(b);
    }
}

void CRemoteCtrl::DestroyKeyButtons()
{
    for (CKeyButton* b : m_keys)
        delete b;
    m_keys.clear();
}

void CRemoteCtrl::OnKeyClicked(CKeyButton* key)
{
    m_session->PressByHand(key->KeyName().toStdString(), key->KeyValue());
}

// ---------------------------------------------------------------------------
// Modes

void CRemoteCtrl::OnRandomButton()
{
    if (m_session->RandomRunning())
        m_session->StopRandom();
    else
        m_session->StartRandom(std::random_device{}());
    SyncModeButtons();
}

void CRemoteCtrl::OnRecordButton()
{
    if (m_session->Recording()) {
        ChooseRecordFile(QString());
        return;
    }
    QString path = QFileDialog::getSaveFileName(this, QString(), QString(), QStringLiteral("MyType Files (*.rcd)"));
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1String(".rcd"), Qt::CaseInsensitive))
        path += QStringLiteral(".rcd");
    ChooseRecordFile(path);
}

void CRemoteCtrl::ChooseRecordFile(const QString& path)
{
    if (path.isEmpty())
        m_session->StopRecord();
    else
        m_session->StartRecord(path.toStdString());
    SyncModeButtons();
}

void CRemoteCtrl::OnSimulationButton()
{
    if (m_session->Simulating()) {
        m_session->StopSimulation();
        SyncModeButtons();
        return;
    }
    QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("MyType Files (*.rcd)"));
    if (!path.isEmpty())
        ChooseSimulationFile(path);
}

void CRemoteCtrl::ChooseSimulationFile(const QString& path)
{
    m_session->StartSimulation(path.toStdString());
    SyncModeButtons();
}

// The captions follow the session's modes; random and recording exclude
// simulation, and simulation excludes both.
void CRemoteCtrl::SyncModeButtons()
{
    const bool random = m_session->RandomRunning(), recording = m_session->Recording(), sim = m_session->Simulating();
    m_random->setText(random ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_record->setText(recording ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_simulation->setText(sim ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_random->setEnabled(m_keyMapLoaded && !sim);
    m_record->setEnabled(m_keyMapLoaded && !sim);
    m_simulation->setEnabled(m_keyMapLoaded && !random && !recording);
}

void CRemoteCtrl::Message(const QString& text)
{
    m_lastMessage = text;
    corvane::ErrorBox(this, text);
}

// ---------------------------------------------------------------------------
// From the session's threads

void CRemoteCtrl::OnLine(const std::string& text)
{
    const QString line = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        m_log, [log = m_log, line] { log->AppendText(line); }, Qt::QueuedConnection);
}

void CRemoteCtrl::OnModeEnded()
{
    QMetaObject::invokeMethod(
        this, [this] { SyncModeButtons(); }, Qt::QueuedConnection);
}
