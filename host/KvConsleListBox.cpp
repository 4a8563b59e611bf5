#include "KvConsleListBox.h"

#include "SerialMonitorService.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <string>

namespace {

// Log bytes are UTF-8; anything else (an STB printing in a legacy code page)
// is shown byte for byte as Latin-1 rather than as replacement marks.
QString decodeBytes(const std::string& bytes)
{
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = dec.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (dec.hasError())
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    return s;
}

}  // namespace

CKvConsleListBox::CKvConsleListBox(QWidget* parent) : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("KvConsle"));
    // Read-only for the user (typed keys go to the STB, not into the text);
    // selection, copy and scrolling stay.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
}

int CKvConsleListBox::CharacterCount() const
{
    return document()->characterCount() - 1;  // without the document's final separator
}

void CKvConsleListBox::insertAtEnd(const QString& text)
{
    if (text.isEmpty())
        return;
    QTextCursor c(document());
    c.movePosition(QTextCursor::End);
    c.insertText(text);
}

void CKvConsleListBox::deleteLastChar()
{
    QTextCursor c(document());
    c.movePosition(QTextCursor::End);
    c.deletePreviousChar();
}

void CKvConsleListBox::trim()
{
    // Keep the text below the limit a fifth at a time, not line by line. One
    // large append may need more than one fifth to go.
    while (CharacterCount() >= kTrimAt) {
        QTextCursor c(document());
        c.movePosition(QTextCursor::Start);
        c.setPosition(kTrimBy, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
}

void CKvConsleListBox::AppendBytes(const char* data, size_t len)
{
    if (!data || len == 0)
        return;
    QScrollBar* sb = verticalScrollBar();
    const bool follow = sb->value() >= sb->maximum();
    std::string collected;
    collected.reserve(len + len / 8);
    for (size_t i = 0; i < len; ++i) {
        const char ch = data[i];
        switch (ch) {
        case 7:
            if (m_beep)
                m_beep();
            else
                QApplication::beep();
            break;
        case 8:
            insertAtEnd(decodeBytes(collected));
            collected.clear();
            deleteLastChar();
            break;
        case 10: collected += '\n'; break;
        case 13: break;
        case 0: break;  // a counted terminating zero shows nothing
        default: collected += ch;
        }
    }
    insertAtEnd(decodeBytes(collected));
    trim();
    if (follow)
        sb->setValue(sb->maximum());
}

void CKvConsleListBox::InsertText(const QString& text)
{
    if (text.isEmpty())
        return;
    QScrollBar* sb = verticalScrollBar();
    const bool follow = sb->value() >= sb->maximum();
    insertAtEnd(text);
    trim();
    if (follow)
        sb->setValue(sb->maximum());
}

void CKvConsleListBox::sendByte(uint8_t b)
{
    if (m_send) {
        m_send(b);
        return;
    }
    if (CSerialMonitorSerivce* svc = kv::current_serial_service()) {
        uint32_t sent = 0;
        svc->SMS_Send(&b, 1, &sent, 100, -1);
    }
}

void CKvConsleListBox::keyPressEvent(QKeyEvent* e)
{
    const Qt::KeyboardModifiers mods = e->modifiers();
    const bool ctrl = (mods & Qt::ControlModifier) && !(mods & Qt::AltModifier);
    const int key = e->key();

    // Ctrl+letter: the control character, as a terminal sends it. Ctrl+A
    // and Ctrl+C also select everything and copy, as in any text box.
    if (ctrl && key >= Qt::Key_A && key <= Qt::Key_Z) {
        if (key == Qt::Key_A)
            selectAll();
        else if (key == Qt::Key_C)
            copy();
        sendByte(static_cast<uint8_t>(key - Qt::Key_A + 1));
        e->accept();
        return;
    }
    QString text = e->text();
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: text = QStringLiteral("\r"); break;
    case Qt::Key_Backspace: text = QStringLiteral("\b"); break;
    case Qt::Key_Tab: text = QStringLiteral("\t"); break;
    case Qt::Key_Escape: text = QStringLiteral("\x1b"); break;
    default: break;
    }
    if (!text.isEmpty() && !(mods & Qt::AltModifier)) {
        for (QChar c : text)
            sendByte(static_cast<uint8_t>(c.unicode() & 0xFF));
        e->accept();
        return;
    }
    // Keys without a character (arrows, page keys, ...) move through the text.
    QPlainTextEdit::keyPressEvent(e);
}
