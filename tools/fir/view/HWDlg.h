// The "HW Info" page: video, audio, antenna and language options of the
// configuration, its ".hw" files and the power-wave dialog.
#pragma once

#include "FirFields.h"
#include "FirPlatform.h"

#include <QWidget>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class CPowerWaveDlg;

class CHWDlg : public QWidget {
    Q_OBJECT
public:
    explicit CHWDlg(QWidget* parent = nullptr);

    // Dogwood shows the four further language boxes.
    void SetPlatform(fir::Platform p);
    // The thirteen language box captions (nine, then the Dogwood four).
    void SetLanguageCaptions(const std::vector<std::string>& captions);
    const std::vector<std::string>& LanguageCaptions() const { return m_captions; }
    void Fill(const fir::HardwareFields& f);
    fir::HardwareFields Fields() const;

    // The ".hw" files, without the file dialogs.
    void LoadConfig(const QString& path);
    void SaveConfig(const QString& path);

    CPowerWaveDlg* PowerWaveDialog() const { return m_powerWaveDlg; }

private slots:
    void OnTvSystem();
    void OnLanguageToggled();
    void OnTestPowerWave();

private:
    int LanguageBoxes() const;

    fir::Platform m_platform = fir::Platform::Base;
    std::vector<std::string> m_captions;
    QComboBox* m_videoMode = nullptr;
    QCheckBox* m_spdif = nullptr;
    QCheckBox* m_lnbLoad = nullptr;
    QCheckBox* m_scart = nullptr;
    QLineEdit* m_tvAv = nullptr;
    QLineEdit* m_tvMode = nullptr;
    QLineEdit* m_tvRatio = nullptr;
    QComboBox* m_sog = nullptr;
    QComboBox* m_powerOff = nullptr;
    QComboBox* m_standby = nullptr;
    std::vector<QCheckBox*> m_languages;
    QComboBox* m_defaultLanguage = nullptr;
    QComboBox* m_loopThrough = nullptr;
    QComboBox* m_biss = nullptr;
    QComboBox* m_lnb = nullptr;
    QComboBox* m_tvSystem = nullptr;
    QComboBox* m_resolution = nullptr;
    QComboBox* m_tunerClock = nullptr;
    CPowerWaveDlg* m_powerWaveDlg = nullptr;
    QString m_powerWave;
};
