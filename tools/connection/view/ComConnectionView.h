// The "Com_Connection" tab: lists the serial ports (with the names the system
// gives them, and the virtual STB's pseudo-terminals), takes other ports by
// name (a device, or a serial server's rfc2217://HOST:PORT or
// socket://HOST:PORT), takes the line settings and opens or closes the port
// through the host's serial service.
// The last choice is remembered for the next start. The ports offered are
// those `corvane-cli ports` lists (connection::list_port_choices()).
#pragma once

#include <QString>
#include <QWidget>

class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
struct serialport_config_tag;

class CComConnectionView : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CComConnectionView(QWidget* parent = nullptr);
    ~CComConnectionView() override;

    // The actions behind the buttons. 1 on success.
    int RefreshPorts();
    int AddPort(const QString& path);
    int OpenPort();
    int ClosePort();

    // The selection as the service takes it (port index from the service).
    bool CurrentConfig(serialport_config_tag* cfg) const;
    QString SelectedPortPath() const;
    bool SelectPort(const QString& path);
    QString StatusText() const;

private:
    void BuildLineSettings(QWidget* box, QFormLayout* form);
    void AddToolTips();
    void ConnectSignals();
    void updateState();
    void saveChoice() const;
    void restoreChoice();

    QComboBox* m_port = nullptr;
    QComboBox* m_baud = nullptr;
    QComboBox* m_dataBits = nullptr;
    QComboBox* m_parity = nullptr;
    QComboBox* m_stopBits = nullptr;
    QLineEdit* m_addPath = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_close = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_poll = nullptr;
    QString m_lastError;
};
