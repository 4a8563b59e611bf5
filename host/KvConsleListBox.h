// The console of the output pane ("KvConsle").
//
// It shows what the tools log and what the STB prints, and sends what the user
// types straight to the STB: the console itself never shows typed characters,
// the STB's echo comes back through the log.
#pragma once

#include <QPlainTextEdit>

#include <cstddef>
#include <cstdint>
#include <functional>

class CKvConsleListBox : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kTextLimit = 300000;
    static constexpr int kTrimAt = kTextLimit / 5 * 4;  // 240000: trim when reached
    static constexpr int kTrimBy = kTextLimit / 5;  // 60000: the first fifth goes

    explicit CKvConsleListBox(QWidget* parent = nullptr);

    // Appends log bytes (UTF-8) with the console's control characters:
    // 7 rings the bell, 8 removes the last character shown (also one from an
    // earlier message), 10 starts a new line, 13 is dropped.
    void AppendBytes(const char* data, size_t len);
    // Inserts text unchanged at the end.
    void InsertText(const QString& text);
    // Characters held (a line break counts as one).
    int CharacterCount() const;

    // Where typed characters go; the default sends one byte with SMS_Send
    // (100 ms) on the current serial service.
    using SendFn = std::function<void(uint8_t)>;
    void SetSendHook(SendFn fn) { m_send = std::move(fn); }
    // What the bell does; the default is QApplication::beep().
    using BeepFn = std::function<void()>;
    void SetBeepHook(BeepFn fn) { m_beep = std::move(fn); }

protected:
    void keyPressEvent(QKeyEvent* e) override;
    // Tab goes to the STB (shell completion), not to the next control.
    bool focusNextPrevChild(bool) override { return false; }

private:
    void insertAtEnd(const QString& text);
    void deleteLastChar();
    void trim();
    void sendByte(uint8_t b);

    SendFn m_send;
    BeepFn m_beep;
};
