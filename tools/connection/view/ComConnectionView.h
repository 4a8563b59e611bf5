// The "Com_Connection" tab: lists the serial ports (with the names the system
// gives them, and the virtual STB's pseudo-terminals), takes other ports by
// name (a device, or a serial server's rfc2217://HOST:PORT or
// socket://HOST:PORT), takes the line settings and opens or closes the port
// through the host's serial service.
// The last choice is remembered for the next start. A virtual STB makes its
// pseudo-terminal known by writing the path into "<name>.port" in the user's
// runtime folder (see AnnouncedPorts()).
#pragma once

#include <QString>
#include <QWidget>

#include <string>
#include <vector>

class QComboBox;
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

    // Ports a running virtual STB announces: every "*.port" file in the
    // user's runtime folder (kv::log_socket_dir()) names one device path on
    // its first line; only devices that exist now are taken.
    static std::vector<std::string> AnnouncedPorts();

    // The selection as the service takes it (port index from the service).
    bool CurrentConfig(serialport_config_tag* cfg) const;
    QString SelectedPortPath() const;
    bool SelectPort(const QString& path);
    QString StatusText() const;

private:
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
