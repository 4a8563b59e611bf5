// The project pages of the "skycaster" tab: DVBS, ABS and DSMCC. Each shows
// its fields (hexadecimal), puts its defaults in, empties itself, and reads
// its parameter record.
#pragma once

#include "OtaRecords.h"
#include "OtaSettings.h"

#include <QString>
#include <QWidget>

#include <vector>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLineEdit;
class COXToolTipCtrl;

// A field that takes up to `digits` hexadecimal digits.
QLineEdit* MakeHexEdit(QWidget* parent, const char* name, int digits);
// The value of a hexadecimal field as "%x" reads it (0 when empty).
uint32_t HexFieldValue(const QLineEdit* edit);

class COtaPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void SetDefaults() = 0;
    virtual void ClearFields() = 0;

protected:
    // The tips of the fields that say which boxes an upgrade is for.
    static void AddIdentityTips(COXToolTipCtrl* tips, QWidget* oui, QWidget* swVersion, QWidget* swModel,
                                QWidget* hwVersion, QWidget* hwModel);
    // A label and a hexadecimal field in the given row, from `column` on.
    QLineEdit* AddHexRow(QGridLayout* grid, int row, const QString& label, const char* name, int digits,
                         int column = 0);
};

class CDvbsPage : public COtaPage {
    Q_OBJECT
public:
    CDvbsPage(COXToolTipCtrl* tips, QWidget* parent);
    void SetModes(const std::vector<ota::UpgMode>& modes);
    void SetDefaults() override;
    void ClearFields() override;
    ota::dvbs_upg_info_t Record() const;
    QString DataPidText() const;

private:
    QLineEdit *m_pid, *m_oui, *m_swVersion, *m_hwVersion, *m_swModel, *m_hwModel;
    QComboBox* m_mode;
    std::vector<ota::UpgMode> m_modes;
};

class CAbsPage : public COtaPage {
    Q_OBJECT
public:
    CAbsPage(COXToolTipCtrl* tips, QWidget* parent);
    void SetDefaults() override;
    void ClearFields() override;
    ota::abs_upg_info_t Record() const;

private:
    QLineEdit *m_pid, *m_manufacturer, *m_hardware, *m_model, *m_swVersion, *m_pmtPid;
    QCheckBox *m_force, *m_error;
    QComboBox* m_errorType;
};

class CDsmccPage : public COtaPage {
    Q_OBJECT
public:
    CDsmccPage(COXToolTipCtrl* tips, QWidget* parent);
    void SetModes(const std::vector<ota::UpgMode>& modes);
    // The drop-downs back to their first choices ("16bits", flag "0", "4M").
    void SetDefaults() override;
    void ClearFields() override;
    // The checks of "NextGroup" on the page's fields: the message of the
    // first one that fails, or an empty text.
    QString CheckFields() const;
    ota::dsmcc_upg_info_t Record() const;
    bool SizeChange() const;
    int OriginalSizeIndex() const;
    int UpdateSizeIndex() const;

private:
    void OnWidthChanged();

    QLineEdit *m_oui, *m_swModel, *m_hwModel, *m_swVersion, *m_hwVersion, *m_mfr, *m_snStart, *m_snEnd;
    QComboBox *m_swWidth, *m_hwWidth, *m_mode, *m_flag, *m_originalSize, *m_updateSize;
    QCheckBox *m_isMatch, *m_sizeChange;
    std::vector<ota::UpgMode> m_modes;
};
