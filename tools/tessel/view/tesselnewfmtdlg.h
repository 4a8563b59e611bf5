// "New Format": write a new image from the edited workbook, and (internal
// mode) save or load single blocks.
#pragma once

#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TesselDialog;

class tesselnewfmtdlg : public QDialog {
    Q_OBJECT
public:
    explicit tesselnewfmtdlg(TesselDialog* view);

    bool blockLoaded() const { return m_blockLoaded; }
    QString workbookPath() const;

public slots:
    void onBrowseOutput();
    void onSave();
    void onBlockSelected(int index);
    void onBrowseSaveBlock();
    void onSaveBlock();
    void onBrowseLoadBlock();
    void onLoadBlock();

private:
    QGroupBox* blockGroup(const QString& title, const QString& pathLabel, const QString& action, QComboBox** list,
                          QLabel** id, QLineEdit** path, QPushButton** browse, QPushButton** run);

    TesselDialog* m_view;
    QLineEdit* m_output = nullptr;
    QLabel* m_workbook = nullptr;
    QComboBox* m_saveList = nullptr;
    QComboBox* m_loadList = nullptr;
    QLabel* m_saveId = nullptr;
    QLabel* m_loadId = nullptr;
    QLineEdit* m_savePath = nullptr;
    QLineEdit* m_loadPath = nullptr;
    QGroupBox* m_saveBox = nullptr;
    QGroupBox* m_loadBox = nullptr;
    QString m_blockName;
    uint8_t m_blockId = 0;
    bool m_blockLoaded = false;
};
