// Tool tips of the tool views: at most 200 pixels wide, on a light green
// background (0xACF7BB as a Windows colour value, #BBF7AC).
//
//     COXToolTipCtrl m_tips;
//     m_tips.Create(this);
//     m_tips.SetMaxTipWidth(200);
//     m_tips.SetTipBkColor(0xACF7BB);
//     m_tips.AddTool(ui.startButton, L"Starts the upgrade");
//
// Tips show on hover by themselves; RelayEvent is kept for views written in
// the old style and does nothing.
#pragma once

#include <QColor>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>

class QWidget;

namespace corvane {
inline constexpr int kToolTipMaxWidth = 200;
inline constexpr uint32_t kToolTipBkColorRef = 0xACF7BB;  // Windows colour value (0x00BBGGRR)

// A Windows colour value (0x00BBGGRR) as a QColor.
QColor ColorFromColorRef(uint32_t colorref);
// The text as shown: plain when it fits `max_width` pixels on one line, else
// wrapped at that width.
QString FormatToolTip(const QString& text, int max_width);
}  // namespace corvane

class COXToolTipCtrl : public QObject {
    Q_OBJECT
public:
    explicit COXToolTipCtrl(QObject* parent = nullptr);

    // The owning view. 1 on success.
    int Create(QWidget* owner);
    void SetMaxTipWidth(int width) { m_maxWidth = width > 0 ? width : corvane::kToolTipMaxWidth; }
    void SetTipBkColor(uint32_t colorref) { m_bk = corvane::ColorFromColorRef(colorref); }
    // One tip per control; a second call replaces the text. 1 on success.
    int AddTool(QWidget* control, const QString& text);
    int AddTool(QWidget* control, const wchar_t* text);
    void RelayEvent(void*) {}

    QString TipText(QWidget* control) const;
    QColor TipBkColor() const { return m_bk; }
    int MaxTipWidth() const { return m_maxWidth; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_owner;
    QHash<QObject*, QString> m_tips;
    int m_maxWidth = corvane::kToolTipMaxWidth;
    QColor m_bk = corvane::ColorFromColorRef(corvane::kToolTipBkColorRef);
};
