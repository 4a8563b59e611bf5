#include "ToolTipCtrl.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPalette>
#include <QToolTip>
#include <QWidget>

namespace corvane {

QColor ColorFromColorRef(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

QString FormatToolTip(const QString& text, int max_width)
{
    const QFontMetrics fm(QToolTip::font());
    bool fits = true;
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (fm.horizontalAdvance(line) > max_width)
            fits = false;
    if (fits)
        return text;
    // Rich text wraps inside a table of the given width.
    QString body = text.toHtmlEscaped();
    body.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return QStringLiteral("<table width=\"%1\"><tr><td>%2</td></tr></table>").arg(max_width).arg(body);
}

}  // namespace corvane

COXToolTipCtrl::COXToolTipCtrl(QObject* parent) : QObject(parent) {}

int COXToolTipCtrl::Create(QWidget* owner)
{
    if (!owner)
        return 0;
    m_owner = owner;
    if (!parent())
        setParent(owner);
    return 1;
}

int COXToolTipCtrl::AddTool(QWidget* control, const QString& text)
{
    if (!control)
        return 0;
    if (!m_tips.contains(control)) {
        control->installEventFilter(this);
        connect(control, &QObject::destroyed, this, [this](QObject* o) { m_tips.remove(o); });
    }
    m_tips.insert(control, text);
    return 1;
}

int COXToolTipCtrl::AddTool(QWidget* control, const wchar_t* text)
{
    return AddTool(control, text ? QString::fromWCharArray(text) : QString());
}

QString COXToolTipCtrl::TipText(QWidget* control) const { return m_tips.value(control); }

bool COXToolTipCtrl::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto it = m_tips.constFind(watched);
        if (it != m_tips.constEnd() && !it->isEmpty()) {
            auto* w = static_cast<QWidget*>(watched);
            auto* he = static_cast<QHelpEvent*>(event);
            QPalette pal = QToolTip::palette();
            pal.setColor(QPalette::ToolTipBase, m_bk);
            pal.setColor(QPalette::ToolTipText, Qt::black);
            QToolTip::setPalette(pal);
            QToolTip::showText(he->globalPos(), corvane::FormatToolTip(*it, m_maxWidth), w);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
