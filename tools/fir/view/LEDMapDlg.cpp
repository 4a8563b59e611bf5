#include "LEDMapDlg.h"

#include "FirPageFiles.h"
#include "FirUi.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace fir;
using firview::MakeButton;

LEDMapDlg::LEDMapDlg(LedMap* map, LedMapFlags* flags, QWidget* parent) : QWidget(parent), m_map(map), m_flags(flags)
{
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(new QLabel(QStringLiteral("LED Map"), this));

    auto* top = new QHBoxLayout;
    QPushButton* light = MakeButton(this, "Light All", "ledLightAll");
    QPushButton* dim = MakeButton(this, "Dim All", "ledDimAll");
    m_getMap = MakeButton(this, "Start Get LED Map", "getLedMap");
    top->addWidget(light);
    top->addWidget(dim);
    top->addWidget(m_getMap);
    top->addStretch();
    outer->addLayout(top);
    m_stepButtons = {light, dim};

    // One display digit: bars across, segments down the sides, the dot.
    auto* digit = new QGridLayout;
    const struct {
        int row, column;
    } cells[8] = {{0, 1}, {1, 2}, {3, 2}, {4, 1}, {3, 0}, {1, 0}, {2, 1}, {4, 3}};
    for (int s = 0; s < 8; ++s) {
        QPushButton* b = MakeButton(this, std::to_string(s).c_str(), ("segment" + std::to_string(s)).c_str());
        b->setFixedWidth(40);
        digit->addWidget(b, cells[s].row, cells[s].column);
        m_stepButtons.push_back(b);
    }
    auto* digitRow = new QHBoxLayout;
    digitRow->addLayout(digit);
    digitRow->addStretch();
    outer->addLayout(digitRow);

    auto* files = new QHBoxLayout;
    QPushButton* load = MakeButton(this, "Load LED MAP", "loadLed");
    QPushButton* save = MakeButton(this, "Save LED MAP", "saveLed");
    files->addWidget(load);
    files->addWidget(save);
    files->addStretch();
    outer->addLayout(files);
    outer->addStretch();

    for (int step = 0; step < static_cast<int>(m_stepButtons.size()); ++step)
        connect(m_stepButtons[step], &QPushButton::clicked, this, [this, step] { Press(step); });
    connect(m_getMap, &QPushButton::clicked, this, &LEDMapDlg::OnGetLedMap);
    firview::ConnectFileButtons(
        this, load, save, PageFile::Led, [this](const QString& path) { LoadMap(path); },
        [this](const QString& path) { SaveMap(path); });
}

void LEDMapDlg::SetButtonsForFpType(int fp_type)
{
    for (QPushButton* b : m_stepButtons)
        b->setEnabled(fp_type == 0);
    m_getMap->setEnabled(fp_type == 0);
}

void LEDMapDlg::Press(int step) { m_flags->press(step); }

void LEDMapDlg::OnGetLedMap()
{
    const bool start = !m_flags->getting;
    m_flags->getting = start;
    m_getMap->setText(start ? QStringLiteral("Stop Get LED Map") : QStringLiteral("Start Get LED Map"));
    if (start)
        emit ledMapRequested();
}

void LEDMapDlg::ResetGetLedMap()
{
    m_flags->reset();
    m_getMap->setText(QStringLiteral("Start Get LED Map"));
}

void LEDMapDlg::LoadMap(const QString& path)
{
    CPanelRecord file;
    FirResult res = read_page_file(path.toStdString(), PageFile::Led, m_platform, &file);
    if (res.ok)
        std::copy(file.led_map(), file.led_map() + kLedMapSize, m_map->begin());
    firview::ShowResult(this, res);
}

void LEDMapDlg::SaveMap(const QString& path)
{
    firview::ShowResult(this, write_page_file(path.toStdString(), led_file_record(m_platform, m_map->data())));
}
