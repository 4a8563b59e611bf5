// The "PresetData" tab: pick a channel-list workbook and an output file, say
// how many rows to convert, press "Create".
#pragma once

#include <QString>
#include <QWidget>

class QComboBox;
class QGridLayout;
class QLineEdit;
class QPushButton;
class COXToolTipCtrl;

class CDialogPresetData : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CDialogPresetData(QWidget* parent = nullptr);

    // The steps behind the buttons, without the file dialogs.
    void ChooseInput(const QString& path);
    void ChooseOutput(const QString& path);
    void Create();
    void Clear();

    // The last text shown to the operator (message box or report).
    QString LastMessage() const { return m_lastMessage; }
    int MaxRows() const { return m_maxRows; }
    // The code page names are written in (from the settings; the operator may pick another).
    void SetCodePage(const QString& name);

private slots:
    void OnBrowseInput();
    void OnBrowseOutput();

private:
    void BuildRangeRows(QWidget* box, QGridLayout* grid);
    void BuildCodePageRow(QWidget* box, QGridLayout* grid);
    void AddToolTips();
    void Show(const QString& text, bool error);
    void ResetInput();

    QLineEdit* m_input = nullptr;
    QLineEdit* m_output = nullptr;
    QLineEdit* m_min = nullptr;
    QLineEdit* m_max = nullptr;
    QLineEdit* m_rows = nullptr;
    QPushButton* m_browseInput = nullptr;
    QPushButton* m_browseOutput = nullptr;
    QPushButton* m_create = nullptr;
    QPushButton* m_clear = nullptr;
    QComboBox* m_codePage = nullptr;
    COXToolTipCtrl* m_tips = nullptr;
    int m_maxRows = 0;  // the largest accepted row count
    QString m_lastMessage;
};
