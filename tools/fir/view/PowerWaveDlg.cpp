#include "PowerWaveDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CPowerWaveDlg::CPowerWaveDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Power Wave Data Config"));
    auto* outer = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Power Wave Data:"), this));
    m_text = new QLineEdit(this);
    m_text->setObjectName(QStringLiteral("powerWave"));
    row->addWidget(m_text);
    outer->addLayout(row);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    outer->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CPowerWaveDlg::SetText(const QString& text) { m_text->setText(text); }
QString CPowerWaveDlg::Text() const { return m_text->text(); }
