#include "LogDialog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

CLogDialog::CLogDialog(QWidget* parent) : QWidget(parent), m_edit(new QPlainTextEdit(this))
{
    m_edit->setObjectName(QStringLiteral("logText"));
    m_edit->setReadOnly(true);
    m_edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_edit);
}

void CLogDialog::SetLimit(int chars) { m_limit = chars > 10 ? chars : 10; }

QString CLogDialog::Text() const { return m_edit->toPlainText(); }

void CLogDialog::AppendText(const QString& text)
{
    QString t = text;
    t.remove(QLatin1Char('\r'));
    QTextCursor c(m_edit->document());
    c.movePosition(QTextCursor::End);
    c.insertText(t);
    if (m_edit->document()->characterCount() >= m_limit / 5 * 4) {
        c.movePosition(QTextCursor::Start);
        c.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor, m_limit / 5);
        c.removeSelectedText();
    }
    m_edit->verticalScrollBar()->setValue(m_edit->verticalScrollBar()->maximum());
}
