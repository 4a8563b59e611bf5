// The log pane of the "Remote_Ctrl" tab: one read-only multi-line text. Text
// is appended at the end; when the pane reaches four fifths of its limit the
// first fifth of the limit is cut away, so an overnight run never grows it
// without bound (the day's RCLog file keeps everything).
#pragma once

#include <QString>
#include <QWidget>

class QPlainTextEdit;

class CLogDialog : public QWidget {
    Q_OBJECT
public:
    explicit CLogDialog(QWidget* parent = nullptr);

    // Characters the pane holds at most (30000 unless told otherwise).
    void SetLimit(int chars);
    int Limit() const { return m_limit; }
    QString Text() const;

public slots:
    // Line ends as composed ("\r\n" or "\n") become one line break.
    void AppendText(const QString& text);

private:
    QPlainTextEdit* m_edit;
    int m_limit = 30000;
};
