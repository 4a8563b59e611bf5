// One remote-control key of the "Remote_Ctrl" tab: a push button that holds
// the key's value and its name (the caption carries the shortcut as well).
#pragma once

#include <QPushButton>
#include <QString>

#include <cstdint>

class CKeyButton : public QPushButton {
    Q_OBJECT
public:
    // Caption: the name, or "name (&S)" with a shortcut letter S.
    CKeyButton(const QString& name, const QString& shortcut, int32_t value, QWidget* parent);

    int32_t KeyValue() const { return m_value; }
    const QString& KeyName() const { return m_name; }

    // The place of key j: six to a row, from (20, 200), 90 by 40 apart, 80 by 30.
    static QRect Place(int j);

private:
    QString m_name;
    int32_t m_value;
};
