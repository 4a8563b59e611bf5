#include "KeyButton.h"

CKeyButton::CKeyButton(const QString& name, const QString& shortcut, int32_t value, QWidget* parent)
    : QPushButton(shortcut.isEmpty() ? name : name + QStringLiteral(" (&") + shortcut + QStringLiteral(")"), parent)
    , m_name(name)
    , m_value(value)
{}

QRect CKeyButton::Place(int j)
{
    const int column = j % 6, row = j / 6;
    return QRect(20 + 90 * column, 200 + 40 * row, 80, 30);
}
