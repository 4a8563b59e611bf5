// The "Remote_Ctrl" tab: opens a serial port, loads a key map (one button per
// remote key), and presses keys by hand, at random, into a recording or from
// one. The work is the core's CRemoteSession; this view only shows, collects
// input and starts and stops the modes. Lines from the session's threads
// reach the log pane queued onto this thread.
#pragma once

#include "KvBasicRemoteCtrl.h"
#include "RemoteSession.h"

#include <SerialMonitorService.h>

#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class CKeyButton;
class CLogDialog;
class COXToolTipCtrl;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

class CRemoteCtrl : public QWidget, private clicker::IRemoteSink {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CRemoteCtrl(QWidget* parent = nullptr);
    ~CRemoteCtrl() override;

    // The actions behind the buttons and dialogs (tests call them directly).
    void OnPortButton();
    // "..." after the file dialog: the key map at `path`.
    void ChooseKeyMap(const QString& path);
    void OnRandomButton();
    // "Start" beside "Record" after the save dialog; "Stop" without a path.
    void ChooseRecordFile(const QString& path);
    // "Start" beside "Simulation" after the open dialog.
    void ChooseSimulationFile(const QString& path);
    void OnRecordButton();
    void OnSimulationButton();

    // Selects a port of the service by its index in the service's list.
    bool SelectPort(int service_index);
    int SelectedPort() const;

    std::vector<CKeyButton*> KeyButtons() const { return m_keys; }
    CLogDialog* LogPane() const { return m_log; }
    clicker::CRemoteSession& Session() { return *m_session; }
    // The text of the last message box.
    QString LastMessage() const { return m_lastMessage; }

protected:
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void OnLine(const std::string& text) override;
    void OnModeEnded() override;

    void BuildControls();
    void AddTips();
    void InitialUpdate();
    void FillPortList(const std::vector<serialport_info_tag>& ports);
    void ShowPortSettings(const serialport_config_tag& cfg);
    serialport_config_tag SelectedConfig() const;
    void OnKeyClicked(CKeyButton* key);
    void CreateKeyButtons(const tag_remote& map);
    void DestroyKeyButtons();
    void SyncModeButtons();
    void Message(const QString& text);

    // The component and the record table it shares with the session; the
    // session goes first, then the table, then the component.
    std::unique_ptr<CKvBasicRemoteCtrl> m_ctrl;
    std::unique_ptr<tag_record_table> m_table;
    std::unique_ptr<clicker::CRemoteSession> m_session;

    QComboBox* m_port = nullptr;
    QComboBox* m_baud = nullptr;
    QComboBox* m_dataBits = nullptr;
    QComboBox* m_parity = nullptr;
    QComboBox* m_stopBits = nullptr;
    QPushButton* m_open = nullptr;
    QLineEdit* m_keyFile = nullptr;
    QPushButton* m_loadKeys = nullptr;
    QPushButton* m_random = nullptr;
    QPushButton* m_record = nullptr;
    QPushButton* m_simulation = nullptr;
    QGroupBox* m_logGroup = nullptr;
    CLogDialog* m_log = nullptr;
    COXToolTipCtrl* m_tips = nullptr;
    std::vector<CKeyButton*> m_keys;
    std::vector<serialport_config_tag> m_portSettings;  // per port of the service
    bool m_keyMapLoaded = false;
    QString m_lastMessage;
};
