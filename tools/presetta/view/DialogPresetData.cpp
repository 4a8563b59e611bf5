#include "DialogPresetData.h"

#include "CodePage.h"

#include "KvBasicLog.h"
#include "PresetData.h"
#include "ToolCommon.h"
#include "ToolTipCtrl.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* NamedLineEdit(QWidget* parent, const char* name, bool readOnly)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setReadOnly(readOnly);
    return e;
}

}  // namespace

CDialogPresetData::CDialogPresetData(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("PresetData"));
    setObjectName(QStringLiteral("PresetData"));

    auto* outer = new QVBoxLayout(this);
    auto* box = new QGroupBox(this);
    box->setMaximumWidth(720);
    auto* grid = new QGridLayout(box);

    m_input = NamedLineEdit(box, "input", true);
    m_browseInput = new QPushButton(QStringLiteral("Browse"), box);
    m_browseInput->setObjectName(QStringLiteral("browseInput"));
    grid->addWidget(new QLabel(QStringLiteral("Input Raw Data"), box), 0, 0);
    grid->addWidget(m_input, 0, 1, 1, 3);
    grid->addWidget(m_browseInput, 0, 4);

    m_output = NamedLineEdit(box, "output", true);
    m_browseOutput = new QPushButton(QStringLiteral("Browse"), box);
    m_browseOutput->setObjectName(QStringLiteral("browseOutput"));
    grid->addWidget(new QLabel(QStringLiteral("Save Output In"), box), 1, 0);
    grid->addWidget(m_output, 1, 1, 1, 3);
    grid->addWidget(m_browseOutput, 1, 4);

    BuildRangeRows(box, grid);
    BuildCodePageRow(box, grid);

    m_create = new QPushButton(QStringLiteral("Create"), box);
    m_create->setObjectName(QStringLiteral("create"));
    m_clear = new QPushButton(QStringLiteral("Clear"), box);
    m_clear->setObjectName(QStringLiteral("clear"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_create);
    buttons->addWidget(m_clear);
    grid->addLayout(buttons, 5, 0, 1, 5);
    grid->setColumnStretch(1, 1);

    outer->addWidget(box);
    outer->addStretch(1);

    AddToolTips();

    connect(m_browseInput, &QPushButton::clicked, this, &CDialogPresetData::OnBrowseInput);
    connect(m_browseOutput, &QPushButton::clicked, this, &CDialogPresetData::OnBrowseOutput);
    connect(m_create, &QPushButton::clicked, this, &CDialogPresetData::Create);
    connect(m_clear, &QPushButton::clicked, this, &CDialogPresetData::Clear);
}

// The row range: Min and Max, and how many rows are taken from it.
void CDialogPresetData::BuildRangeRows(QWidget* box, QGridLayout* grid)
{
    m_min = NamedLineEdit(box, "min", true);
    m_max = NamedLineEdit(box, "max", true);
    m_rows = NamedLineEdit(box, "rows", false);
    for (QLineEdit* e : {m_min, m_max, m_rows})
        e->setMaximumWidth(90);
    auto* range = new QHBoxLayout;
    range->addWidget(new QLabel(QStringLiteral("Min:"), box));
    range->addWidget(m_min);
    range->addSpacing(16);
    range->addWidget(new QLabel(QStringLiteral("Max:"), box));
    range->addWidget(m_max);
    range->addStretch(1);
    grid->addLayout(range, 2, 1, 1, 3);
    auto* count = new QHBoxLayout;
    count->addWidget(new QLabel(QStringLiteral("Input Number From Min To Max:"), box));
    count->addWidget(m_rows);
    count->addStretch(1);
    grid->addLayout(count, 3, 1, 1, 3);
}

// The code page the names go into the image in.
void CDialogPresetData::BuildCodePageRow(QWidget* box, QGridLayout* grid)
{
    m_codePage = new QComboBox(box);
    m_codePage->setObjectName(QStringLiteral("codePage"));
    for (const std::string& name : kv::CodePage::known())
        m_codePage->addItem(QString::fromStdString(name));
    m_codePage->setCurrentText(QString::fromStdString(kv::CodePage::from_settings().name()));
    m_codePage->setToolTip(QStringLiteral("The code page of the box's texts (corvane.ini [STB] CodePage)."));
    auto* cp = new QHBoxLayout;
    cp->addWidget(new QLabel(QStringLiteral("Code Page:"), box));
    cp->addWidget(m_codePage);
    cp->addStretch(1);
    grid->addLayout(cp, 4, 1, 1, 3);
}

void CDialogPresetData::AddToolTips()
{
    m_tips = new COXToolTipCtrl(this);
    m_tips->Create(this);
    m_tips->SetMaxTipWidth(corvane::kToolTipMaxWidth);
    m_tips->SetTipBkColor(corvane::kToolTipBkColorRef);
    m_tips->AddTool(m_browseInput, QStringLiteral("Please select source .xls file you wanna generate into preset."));
    m_tips->AddTool(m_browseOutput, QStringLiteral("Please select preset file name you wanna save."));
    m_tips->AddTool(m_create, QStringLiteral("Click here will generate preset file from input .xls file"));
    m_tips->AddTool(m_clear, QStringLiteral("Click here to clean all content."));
}

void CDialogPresetData::Show(const QString& text, bool error)
{
    m_lastMessage = text;
    if (error) {
        corvane::ErrorBox(this, text);
        return;
    }
    corvane::InfoBox(this, QStringLiteral("PresetData"), text);
}

void CDialogPresetData::ResetInput()
{
    m_input->clear();
    m_min->clear();
    m_max->clear();
    m_maxRows = 0;
}

void CDialogPresetData::OnBrowseInput()
{
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Input Raw Data"), QString(),
                                     QStringLiteral("xls files(*.xls);;xlsx files(*.xlsx);;All files(*)"));
    if (!path.isEmpty())
        ChooseInput(path);
}

void CDialogPresetData::ChooseInput(const QString& path)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const presetta::InputCheck check = presetta::CheckInput(path.toStdString());
    QApplication::restoreOverrideCursor();
    if (!check.ok) {
        ResetInput();
        if (!check.detail.empty())
            kv_console_printf("%s: %s\n", path.toUtf8().constData(), check.detail.c_str());
        Show(QString::fromStdString(check.message), true);
        return;
    }
    m_maxRows = check.max_rows;
    m_min->setText(QString::number(presetta::kMinRows));
    m_max->setText(QString::number(m_maxRows));
    m_input->setText(path);
}

void CDialogPresetData::OnBrowseOutput()
{
    QFileDialog dlg(this, QStringLiteral("Save Output In"), QString(),
                    QStringLiteral("BIN files(*.bin);;All   files   (*.*)"));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(QStringLiteral("bin"));
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
        ChooseOutput(dlg.selectedFiles().first());
}

void CDialogPresetData::ChooseOutput(const QString& path) { m_output->setText(path); }

void CDialogPresetData::Create()
{
    const std::string rowsText = m_rows->text().toStdString();
    if (!presetta::IsRowCountText(rowsText)) {
        m_rows->setText(QStringLiteral("0"));
        return;
    }
    if (m_input->text().isEmpty()) {
        Show(QString::fromLatin1(presetta::kMsgNoInput), true);
        return;
    }
    if (m_output->text().isEmpty()) {
        Show(QString::fromLatin1(presetta::kMsgNoOutput), true);
        return;
    }
    // Digits only, but possibly more than an int holds.
    const int rows = rowsText.empty() ? 0 : rowsText.size() > 6 ? m_maxRows + 1 : std::stoi(rowsText);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const presetta::CreateOutcome res =
        presetta::CreatePresetData(m_input->text().toStdString(), m_output->text().toStdString(), rows, m_maxRows,
                                   kv::CodePage(m_codePage->currentText().toStdString()));
    QApplication::restoreOverrideCursor();
    if (!res.ok) {
        Show(QString::fromStdString(res.message), true);
        return;
    }
    QString text = QString::fromStdString(res.message);
    for (const auto& n : res.notes)
        text += QLatin1Char('\n') + QString::fromStdString(n);
    Show(text, false);
}

void CDialogPresetData::SetCodePage(const QString& name) { m_codePage->setCurrentText(name); }

void CDialogPresetData::Clear()
{
    ResetInput();
    m_output->clear();
    m_rows->clear();
}
