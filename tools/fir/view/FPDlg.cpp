#include "FPDlg.h"

#include "FirPageFiles.h"
#include "FirUi.h"
#include "PanelRecord.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

using namespace fir;

using firview::MakeButton;
using firview::MakeEdit;
using firview::MakeList;

CFPDlg::CFPDlg(LampTestFlags* flags, QWidget* parent) : QWidget(parent), m_flags(flags)
{
    auto* outer = new QVBoxLayout(this);
    auto* box = new QGroupBox(QStringLiteral("Front Panel Info"), this);
    auto* grid = new QGridLayout(box);
    int row = 0;
    int col = 0;
    auto add = [&](const char* caption, QWidget* w) {
        grid->addWidget(new QLabel(QString::fromUtf8(caption), box), row, col);
        grid->addWidget(w, row, col + 1);
        col = col == 0 ? 2 : 0;
        row += col == 0 ? 1 : 0;
    };
    add("FP Type:", m_fpType = MakeList(box, "fpType", FirList::FpType));
    add("Com Num:", m_comNum = MakeList(box, "comNum", FirList::ComNum));
    add("Colon Pos:", m_colonPos = MakeEdit(box, "colonPos"));
    add("Status:", m_status = MakeList(box, "status", FirList::Status));
    add("Clock Level:", m_clockLevel = MakeList(box, "clockLevel", FirList::Level));
    add("Clock Pos:", m_clockPos = MakeEdit(box, "clockPos"));
    add("Data Level:", m_dataLevel = MakeList(box, "dataLevel", FirList::Level));
    add("Data Pos:", m_dataPos = MakeEdit(box, "dataPos"));
    add("LBD Type:", m_lbdType = MakeList(box, "lbdType", FirList::LbdType));
    add("Lock Lamp Pos:", m_lockPos = MakeEdit(box, "lockLampPos"));
    add("Lock Lamp Level:", m_lockLevel = MakeList(box, "lockLampLevel", FirList::Level));
    add("Power Lamp Pos:", m_powerPos = MakeEdit(box, "powerLampPos"));
    add("Power Lamp Level:", m_powerLevel = MakeList(box, "powerLampLevel", FirList::Level));
    add("Scan Type:", m_scanType = MakeList(box, "scanType", FirList::ScanType));
    add("Scan_0 Pos:", m_scan0Pos = MakeEdit(box, "scan0Pos"));
    add("Scan_0 Level:", m_scan0Level = MakeList(box, "scan0Level", FirList::Level));
    m_digitMode = MakeList(box, "digitMode", FirList::DigitMode);
    m_digits = MakeEdit(box, "digitPositions");
    m_digitMode->setVisible(false);
    grid->addWidget(m_digitMode, row + 1, 0, 1, 2);
    grid->addWidget(m_digits, row + 1, 2, 1, 2);
    outer->addWidget(box);

    auto* files = new QHBoxLayout;
    QPushButton* load = MakeButton(this, "Load FP Config", "loadFp");
    QPushButton* save = MakeButton(this, "Save FP Config", "saveFp");
    QPushButton* light = MakeButton(this, "Light All LED/Lamp", "lightAll");
    QPushButton* dim = MakeButton(this, "Dim All LED/Lamp", "dimAll");
    for (QPushButton* b : {load, save, light, dim})
        files->addWidget(b);
    outer->addLayout(files);

    auto* lamp = new QHBoxLayout;
    m_testLamp = MakeButton(this, "Start Test Lamp Pos", "testLamp");
    m_left = new QToolButton(this);
    m_left->setObjectName(QStringLiteral("lampLeft"));
    m_left->setArrowType(Qt::LeftArrow);
    m_ok = MakeButton(this, "OK", "lampOk");
    m_right = new QToolButton(this);
    m_right->setObjectName(QStringLiteral("lampRight"));
    m_right->setArrowType(Qt::RightArrow);
    for (QWidget* w : std::initializer_list<QWidget*>{m_testLamp, m_left, m_ok, m_right})
        lamp->addWidget(w);
    lamp->addStretch();
    outer->addLayout(lamp);
    outer->addStretch();
    for (QWidget* w : std::initializer_list<QWidget*>{m_left, m_ok, m_right})
        w->setEnabled(false);
    OnDigitsChanged();

    firview::ConnectFileButtons(
        this, load, save, PageFile::Fp, [this](const QString& path) { LoadConfig(path); },
        [this](const QString& path) { SaveConfig(path); });
    connect(light, &QPushButton::clicked, this, &CFPDlg::lightAllRequested);
    connect(dim, &QPushButton::clicked, this, &CFPDlg::dimAllRequested);
    connect(m_testLamp, &QPushButton::clicked, this, &CFPDlg::OnTestLamp);
    connect(m_left, &QToolButton::clicked, this, [this] { Arrow(kPrevious); });
    connect(m_ok, &QPushButton::clicked, this, [this] { Arrow(kConfirm); });
    connect(m_right, &QToolButton::clicked, this, [this] { Arrow(kNext); });
    connect(m_comNum, &QComboBox::currentIndexChanged, this, &CFPDlg::OnDigitsChanged);
    connect(m_digitMode, &QComboBox::currentIndexChanged, this, &CFPDlg::OnDigitsChanged);
    connect(m_fpType, &QComboBox::currentIndexChanged, this, &CFPDlg::fpTypeChanged);
}

void CFPDlg::SetPlatform(fir::Platform p)
{
    m_platform = p;
    m_digitMode->setVisible(traits(p).panel_extras);
}

int CFPDlg::FpType() const { return m_fpType->currentIndex(); }

// Default positions: "1", "12", ... for the digit count, read-only; set
// positions: empty and editable.
void CFPDlg::OnDigitsChanged()
{
    const bool defaults = m_digitMode->currentIndex() == 0;
    m_digits->setText(defaults ? QString::fromStdString(default_digit_positions(m_comNum->currentIndex())) : QString());
    m_digits->setReadOnly(defaults);
}

void CFPDlg::Fill(const FrontPanelFields& f)
{
    {
        const QSignalBlocker b1(m_comNum), b2(m_digitMode);
        m_comNum->setCurrentIndex(f.com_num);
        m_digitMode->setCurrentIndex(f.digit_mode);
    }
    m_fpType->setCurrentIndex(f.fp_type);
    m_status->setCurrentIndex(f.status);
    m_clockLevel->setCurrentIndex(f.clock_level);
    m_dataLevel->setCurrentIndex(f.data_level);
    m_lbdType->setCurrentIndex(f.lbd_type);
    m_lockLevel->setCurrentIndex(f.lock_lamp_level);
    m_powerLevel->setCurrentIndex(f.power_lamp_level);
    m_scanType->setCurrentIndex(f.scan_type);
    m_scan0Level->setCurrentIndex(f.scan0_level);
    m_colonPos->setText(QString::fromStdString(f.colon_pos));
    m_clockPos->setText(QString::fromStdString(f.clock_pos));
    m_dataPos->setText(QString::fromStdString(f.data_pos));
    m_lockPos->setText(QString::fromStdString(f.lock_lamp_pos));
    m_powerPos->setText(QString::fromStdString(f.power_lamp_pos));
    m_scan0Pos->setText(QString::fromStdString(f.scan0_pos));
    m_digits->setText(QString::fromStdString(f.digit_positions));
    m_digits->setReadOnly(f.digit_mode == 0);
}

FrontPanelFields CFPDlg::Fields() const
{
    FrontPanelFields f;
    f.fp_type = m_fpType->currentIndex();
    f.com_num = m_comNum->currentIndex();
    f.status = m_status->currentIndex();
    f.clock_level = m_clockLevel->currentIndex();
    f.data_level = m_dataLevel->currentIndex();
    f.lbd_type = m_lbdType->currentIndex();
    f.lock_lamp_level = m_lockLevel->currentIndex();
    f.power_lamp_level = m_powerLevel->currentIndex();
    f.scan_type = m_scanType->currentIndex();
    f.scan0_level = m_scan0Level->currentIndex();
    f.colon_pos = m_colonPos->text().toStdString();
    f.clock_pos = m_clockPos->text().toStdString();
    f.data_pos = m_dataPos->text().toStdString();
    f.lock_lamp_pos = m_lockPos->text().toStdString();
    f.power_lamp_pos = m_powerPos->text().toStdString();
    f.scan0_pos = m_scan0Pos->text().toStdString();
    f.digit_mode = m_digitMode->currentIndex();
    f.digit_positions = m_digits->text().toStdString();
    return f;
}

void CFPDlg::LoadConfig(const QString& path)
{
    CPanelRecord file;
    FirResult res = read_page_file(path.toStdString(), PageFile::Fp, m_platform, &file);
    if (res.ok)
        Fill(fill_front_panel(file.config(), m_platform));
    firview::ShowResult(this, res);
}

void CFPDlg::SaveConfig(const QString& path)
{
    CPanelRecord file = empty_page_record(PageFile::Fp, m_platform);
    FirResult res = gather_front_panel(Fields(), m_platform, file.config());
    if (res.ok)
        res = write_page_file(path.toStdString(), file);
    firview::ShowResult(this, res);
}

void CFPDlg::OnTestLamp()
{
    const bool start = !m_flags->testing;
    m_flags->testing = start;
    m_testLamp->setText(start ? QStringLiteral("Stop Test Lamp Pos") : QStringLiteral("Start Test Lamp Pos"));
    for (QWidget* w : std::initializer_list<QWidget*>{m_left, m_ok, m_right})
        w->setEnabled(start);
    if (start)
        emit lampTestRequested();
}

void CFPDlg::ResetLampTest()
{
    m_flags->reset();
    m_testLamp->setText(QStringLiteral("Start Test Lamp Pos"));
    for (QWidget* w : std::initializer_list<QWidget*>{m_left, m_ok, m_right})
        w->setEnabled(false);
}

void CFPDlg::Arrow(int action) { m_flags->press(action); }
