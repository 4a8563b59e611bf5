#include "ComConnectionView.h"

#include "KvBasicLog.h"
#include "KvLogRecord.h"
#include "NetworkLine.h"
#include "PortChoice.h"
#include "SerialMonitorService.h"
#include "SerialPort.h"
#include "ToolCommon.h"
#include "ToolTipCtrl.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

namespace {

const char* const kParityNames[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kStopNames[] = {"1", "1.5", "2"};
const char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};

QString settingsKey(const char* key) { return QStringLiteral("Com_Connection/") + QLatin1String(key); }

}  // namespace

namespace {

QComboBox* NamedCombo(QWidget* parent, const char* name)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    return c;
}

}  // namespace

CComConnectionView::CComConnectionView(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Com_Connection"));
    setObjectName(QStringLiteral("Com_Connection"));

    auto* outer = new QVBoxLayout(this);
    auto* box = new QGroupBox(QStringLiteral("Serial port"), this);
    box->setMaximumWidth(640);
    auto* form = new QFormLayout(box);

    m_port = new QComboBox(box);
    m_port->setObjectName(QStringLiteral("port"));
    m_port->setMinimumContentsLength(36);
    m_port->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_refresh = new QPushButton(QStringLiteral("Refresh"), box);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(m_port, 1);
    portRow->addWidget(m_refresh);
    form->addRow(QStringLiteral("Port"), portRow);

    m_addPath = new QLineEdit(box);
    m_addPath->setObjectName(QStringLiteral("addPath"));
    m_addPath->setPlaceholderText(QStringLiteral("/dev/pts/3, rfc2217://HOST:PORT or socket://HOST:PORT"));
    m_add = new QPushButton(QStringLiteral("Add"), box);
    auto* addRow = new QHBoxLayout;
    addRow->addWidget(m_addPath, 1);
    addRow->addWidget(m_add);
    form->addRow(QStringLiteral("Other port"), addRow);

    BuildLineSettings(box, form);

    m_open = new QPushButton(QStringLiteral("Open"), box);
    m_open->setObjectName(QStringLiteral("Open"));
    m_close = new QPushButton(QStringLiteral("Close"), box);
    m_close->setObjectName(QStringLiteral("Close"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_open);
    buttons->addWidget(m_close);
    buttons->addStretch(1);
    form->addRow(QString(), buttons);

    m_status = new QLabel(box);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(QStringLiteral("State"), m_status);

    outer->addWidget(box);
    outer->addStretch(1);

    AddToolTips();
    ConnectSignals();

    RefreshPorts();
    restoreChoice();
    updateState();

    // Another tool may open or close the port: keep the state shown true.
    m_poll = new QTimer(this);
    m_poll->setInterval(1000);
    connect(m_poll, &QTimer::timeout, this, [this] { updateState(); });
    m_poll->start();
}

// Baud rate, data bits, parity and stop bits.
void CComConnectionView::BuildLineSettings(QWidget* box, QFormLayout* form)
{
    m_baud = NamedCombo(box, "baud");
    for (int rate : kv::supported_baud_rates())
        m_baud->addItem(QString::number(rate), rate);
    form->addRow(QStringLiteral("Baud rate"), m_baud);

    m_dataBits = NamedCombo(box, "dataBits");
    for (int b = 5; b <= 8; ++b)
        m_dataBits->addItem(QString::number(b), b);
    form->addRow(QStringLiteral("Data bits"), m_dataBits);

    m_parity = NamedCombo(box, "parity");
    for (int p = 0; p < 5; ++p)
        m_parity->addItem(QString::fromLatin1(kParityNames[p]), p);
    form->addRow(QStringLiteral("Parity"), m_parity);

    m_stopBits = NamedCombo(box, "stopBits");
    for (int s = 0; s < 3; ++s)
        m_stopBits->addItem(QString::fromLatin1(kStopNames[s]), s);
    form->addRow(QStringLiteral("Stop bits"), m_stopBits);
}

void CComConnectionView::AddToolTips()
{
    auto* tips = new COXToolTipCtrl(this);
    tips->Create(this);
    tips->SetMaxTipWidth(corvane::kToolTipMaxWidth);
    tips->SetTipBkColor(corvane::kToolTipBkColorRef);
    tips->AddTool(m_refresh, QStringLiteral("Searches the serial ports of this computer again."));
    tips->AddTool(m_add,
                  QStringLiteral("Adds a port the search cannot see: the pseudo-terminal of the virtual STB, or a "
                                 "port behind a serial server (rfc2217://HOST:PORT, or socket://HOST:PORT for raw "
                                 "TCP)."));
    tips->AddTool(m_open, QStringLiteral("Opens the port with these settings; every tool then uses it."));
    tips->AddTool(m_close, QStringLiteral("Closes the open port."));
}

void CComConnectionView::ConnectSignals()
{
    connect(m_refresh, &QPushButton::clicked, this, [this] { RefreshPorts(); });
    connect(m_add, &QPushButton::clicked, this, [this] { AddPort(m_addPath->text().trimmed()); });
    connect(m_addPath, &QLineEdit::returnPressed, this, [this] { AddPort(m_addPath->text().trimmed()); });
    connect(m_open, &QPushButton::clicked, this, [this] { OpenPort(); });
    connect(m_close, &QPushButton::clicked, this, [this] { ClosePort(); });
    connect(m_port, &QComboBox::currentIndexChanged, this, [this] { updateState(); });
}

CComConnectionView::~CComConnectionView() = default;

int CComConnectionView::RefreshPorts()
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    const QString keep = SelectedPortPath();
    m_port->clear();
    if (!svc) {
        m_lastError = QStringLiteral("no serial service");
        updateState();
        return 0;
    }
    for (const connection::PortChoice& p : connection::list_port_choices(svc))
        m_port->addItem(QString::fromStdString(p.label), QString::fromStdString(p.path));
    if (!keep.isEmpty())
        SelectPort(keep);
    updateState();
    return 1;
}

int CComConnectionView::AddPort(const QString& path)
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (path.isEmpty() || !svc) {
        corvane::ErrorBox(this, QStringLiteral("Name the device of the port, such as /dev/pts/3, or a serial "
                                               "server's port, such as rfc2217://192.168.1.20:4001."));
        return 0;
    }
    std::string err;
    kv::PortUrl url;
    if (kv::is_network_port(path.toStdString()) && !kv::parse_port_url(path.toStdString(), &url, &err)) {
        corvane::ErrorBox(this, QString::fromStdString(err));
        return 0;
    }
    if (svc->SMS_AddPort(path.toStdString()) < 0)
        return 0;
    RefreshPorts();
    SelectPort(path);
    m_addPath->clear();
    return 1;
}

QString CComConnectionView::SelectedPortPath() const { return m_port->currentData().toString(); }

bool CComConnectionView::SelectPort(const QString& path)
{
    const int i = m_port->findData(path);
    if (i < 0)
        return false;
    m_port->setCurrentIndex(i);
    return true;
}

bool CComConnectionView::CurrentConfig(serialport_config_tag* cfg) const
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    const QString path = SelectedPortPath();
    if (!svc || path.isEmpty())
        return false;
    cfg->port_index = svc->SMS_FindPort(path.toStdString());
    cfg->baud_rate = m_baud->currentData().toInt();
    cfg->data_bits = m_dataBits->currentData().toInt();
    cfg->parity = m_parity->currentData().toInt();
    cfg->stop_bits = m_stopBits->currentData().toInt();
    return cfg->port_index >= 0;
}

int CComConnectionView::OpenPort()
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    serialport_config_tag cfg;
    if (!CurrentConfig(&cfg)) {
        corvane::ErrorBox(this, QStringLiteral("Choose a serial port first."));
        return 0;
    }
    const QString path = SelectedPortPath();
    if (!svc->SMS_OpenPort(cfg)) {
        m_lastError = QString::fromStdString(svc->last_error());
        kv_console_printf("Open %s failed: %s\n", path.toUtf8().constData(), m_lastError.toUtf8().constData());
        updateState();
        corvane::ErrorBox(this, QStringLiteral("%1 cannot be opened: %2").arg(path, m_lastError));
        return 0;
    }
    m_lastError.clear();
    kv_console_printf("%s opened: %d %d%c%s\n", path.toUtf8().constData(), cfg.baud_rate, cfg.data_bits,
                      kParityLetters[cfg.parity], kStopNames[cfg.stop_bits]);
    saveChoice();
    updateState();
    return 1;
}

int CComConnectionView::ClosePort()
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    if (!svc)
        return 0;
    const std::vector<int> open = svc->SMS_IsPortOpen();
    int closed = 0;
    for (size_t i = 0; i < open.size(); ++i) {
        if (!open[i])
            continue;
        if (svc->SMS_ClosePort(int(i))) {
            ++closed;
            kv_console_printf("Port closed\n");
        }
    }
    m_lastError.clear();
    updateState();
    return closed > 0 ? 1 : 0;
}

QString CComConnectionView::StatusText() const { return m_status->text(); }

void CComConnectionView::updateState()
{
    CSerialMonitorSerivce* svc = corvane::SerialService();
    QString text;
    bool anyOpen = false;
    if (!svc) {
        text = QStringLiteral("No serial service");
    } else {
        int count = 0;
        std::vector<serialport_info_tag> info;
        serialport_config_tag cur;
        svc->SMS_GetCurSvcParam(&count, &info, &cur);
        const std::vector<int> open = svc->SMS_IsPortOpen();
        for (size_t i = 0; i < open.size() && i < info.size(); ++i) {
            if (!open[i])
                continue;
            anyOpen = true;
            const int parity = (cur.parity >= 0 && cur.parity < 5) ? cur.parity : 0;
            const int stop = (cur.stop_bits >= 0 && cur.stop_bits < 3) ? cur.stop_bits : 0;
            text = QStringLiteral("Open: %1, %2 baud, %3%4%5")
                       .arg(QString::fromStdString(info[i].name))
                       .arg(cur.baud_rate)
                       .arg(cur.data_bits)
                       .arg(QLatin1Char(kParityLetters[parity]))
                       .arg(QString::fromLatin1(kStopNames[stop]));
        }
        if (!anyOpen)
            text = QStringLiteral("Closed");
        if (!m_lastError.isEmpty())
            text += QStringLiteral(" (last error: %1)").arg(m_lastError);
    }
    if (m_status->text() != text)
        m_status->setText(text);
    m_open->setEnabled(svc && m_port->count() > 0);
    m_close->setEnabled(anyOpen);
}

void CComConnectionView::saveChoice() const
{
    QSettings s;
    s.setValue(settingsKey("Port"), SelectedPortPath());
    s.setValue(settingsKey("BaudRate"), m_baud->currentData().toInt());
    s.setValue(settingsKey("DataBits"), m_dataBits->currentData().toInt());
    s.setValue(settingsKey("Parity"), m_parity->currentData().toInt());
    s.setValue(settingsKey("StopBits"), m_stopBits->currentData().toInt());
}

void CComConnectionView::restoreChoice()
{
    QSettings s;
    auto pick = [](QComboBox* c, const QVariant& v) {
        const int i = c->findData(v);
        if (i >= 0)
            c->setCurrentIndex(i);
    };
    pick(m_baud, s.value(settingsKey("BaudRate"), 115200).toInt());
    pick(m_dataBits, s.value(settingsKey("DataBits"), 8).toInt());
    pick(m_parity, s.value(settingsKey("Parity"), 0).toInt());
    pick(m_stopBits, s.value(settingsKey("StopBits"), 0).toInt());
    const QString port = s.value(settingsKey("Port")).toString();

    // A port already open (opened at start, or by another tool) is shown as chosen.
    if (CSerialMonitorSerivce* svc = corvane::SerialService()) {
        const std::vector<int> open = svc->SMS_IsPortOpen();
        int count = 0;
        std::vector<serialport_info_tag> info;
        serialport_config_tag cur;
        svc->SMS_GetCurSvcParam(&count, &info, &cur);
        for (size_t i = 0; i < open.size() && i < info.size(); ++i) {
            if (open[i] && SelectPort(QString::fromStdString(info[i].name))) {
                pick(m_baud, cur.baud_rate);
                pick(m_dataBits, cur.data_bits);
                pick(m_parity, cur.parity);
                pick(m_stopBits, cur.stop_bits);
                return;
            }
        }
    }
    // A serial server's port is not found by any search: name it again.
    if (!port.isEmpty() && kv::is_network_port(port.toStdString()) && m_port->findData(port) < 0) {
        if (CSerialMonitorSerivce* svc = corvane::SerialService())
            svc->SMS_AddPort(port.toStdString());
        RefreshPorts();
    }
    if (!port.isEmpty())
        SelectPort(port);
}
