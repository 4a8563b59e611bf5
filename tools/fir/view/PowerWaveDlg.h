// "Power Wave Data Config": one text, "OK" and "Cancel".
#pragma once

#include <QDialog>

class QLineEdit;

class CPowerWaveDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPowerWaveDlg(QWidget* parent = nullptr);
    void SetText(const QString& text);
    QString Text() const;

private:
    QLineEdit* m_text = nullptr;
};
