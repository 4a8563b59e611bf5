// The "Front Panel" page: the front-panel wiring of the configuration, its
// ".fp" files, light / dim all and the lamp-position test buttons.
#pragma once

#include "FirFields.h"
#include "FirPlatform.h"
#include "PanelFlags.h"

#include <QWidget>

class QComboBox;
class QLineEdit;
class QPushButton;
class QToolButton;

class CFPDlg : public QWidget {
    Q_OBJECT
public:
    // `flags` (the session's) steer the lamp-position test; they outlive the page.
    explicit CFPDlg(fir::LampTestFlags* flags, QWidget* parent = nullptr);

    // Alder and Dogwood show the digit-position mode.
    void SetPlatform(fir::Platform p);
    fir::Platform Platform() const { return m_platform; }
    void Fill(const fir::FrontPanelFields& f);
    fir::FrontPanelFields Fields() const;
    int FpType() const;

    // The ".fp" files, without the file dialogs.
    void LoadConfig(const QString& path);
    void SaveConfig(const QString& path);

    // Lamp test: the arrows and "OK" set the pending action (0 confirm,
    // 1 previous, 2 next, 3 none) while the test runs.
    enum LampAction { kConfirm = 0, kPrevious = 1, kNext = 2, kNone = 3 };
    bool Testing() const { return m_flags->testing; }
    int PendingAction() const { return m_flags->pending(); }
    // The test has ended: the button shows its start text again.
    void ResetLampTest();

signals:
    void lampTestRequested();
    void lightAllRequested();
    void dimAllRequested();
    void fpTypeChanged(int type);

private slots:
    void OnTestLamp();
    void OnDigitsChanged();

private:
    void Arrow(int action);

    fir::Platform m_platform = fir::Platform::Base;
    QComboBox* m_fpType = nullptr;
    QComboBox* m_comNum = nullptr;
    QComboBox* m_status = nullptr;
    QComboBox* m_clockLevel = nullptr;
    QComboBox* m_dataLevel = nullptr;
    QComboBox* m_lbdType = nullptr;
    QComboBox* m_lockLevel = nullptr;
    QComboBox* m_powerLevel = nullptr;
    QComboBox* m_scanType = nullptr;
    QComboBox* m_scan0Level = nullptr;
    QComboBox* m_digitMode = nullptr;
    QLineEdit* m_colonPos = nullptr;
    QLineEdit* m_clockPos = nullptr;
    QLineEdit* m_dataPos = nullptr;
    QLineEdit* m_lockPos = nullptr;
    QLineEdit* m_powerPos = nullptr;
    QLineEdit* m_scan0Pos = nullptr;
    QLineEdit* m_digits = nullptr;
    QPushButton* m_testLamp = nullptr;
    QToolButton* m_left = nullptr;
    QPushButton* m_ok = nullptr;
    QToolButton* m_right = nullptr;
    fir::LampTestFlags* m_flags;
};
