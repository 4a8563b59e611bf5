#include "HWDlg.h"

#include "FirPageFiles.h"
#include "FirUi.h"
#include "PanelRecord.h"
#include "PowerWaveDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

using namespace fir;
using firview::MakeButton;
using firview::MakeEdit;
using firview::MakeList;

CHWDlg::CHWDlg(QWidget* parent) : QWidget(parent)
{
    auto* outer = new QVBoxLayout(this);
    auto* box = new QGroupBox(QStringLiteral("HW Info"), this);
    auto* grid = new QGridLayout(box);
    int row = 0;
    int col = 0;
    auto next = [&] {
        col = col == 0 ? 2 : 0;
        row += col == 0 ? 1 : 0;
    };
    auto add = [&](const char* caption, QWidget* w) {
        grid->addWidget(new QLabel(QString::fromUtf8(caption), box), row, col);
        grid->addWidget(w, row, col + 1);
        next();
    };
    auto check = [&](const char* caption, const char* name) {
        auto* c = new QCheckBox(QString::fromUtf8(caption), box);
        c->setObjectName(QLatin1String(name));
        grid->addWidget(c, row, col, 1, 2);
        next();
        return c;
    };
    add("Video Mode:", m_videoMode = MakeList(box, "videoMode", FirList::VideoMode));
    m_spdif = check("With SPDIF", "spdif");
    m_lnbLoad = check("With LNB_Load", "lnbLoad");
    m_scart = check("Scart Enable", "scart");
    add("TV/AV:", m_tvAv = MakeEdit(box, "tvAv"));
    add("TV_MODE:", m_tvMode = MakeEdit(box, "tvMode"));
    add("TV Ratio(16:9)", m_tvRatio = MakeEdit(box, "tvRatio"));
    add("SOG:", m_sog = MakeList(box, "sog", FirList::Sog));
    add("Power Off Disp:", m_powerOff = MakeList(box, "powerOffDisp", FirList::PowerOffDisp));
    add("Standby Mode:", m_standby = MakeList(box, "standbyMode", FirList::StandbyMode));
    add("LNB:", m_lnb = MakeList(box, "lnb", FirList::OffOn));
    add("TV System:", m_tvSystem = MakeList(box, "tvSystem", FirList::TvSystem));
    add("Video Resolution:", m_resolution = MakeList(box, "videoResolution", FirList::Resolution625));
    add("Tuner Clock Out:", m_tunerClock = MakeList(box, "tunerClockOut", FirList::OffOn));
    add("Loop Through:", m_loopThrough = MakeList(box, "loopThrough", FirList::OffOn));
    add("Biss Enable:", m_biss = MakeList(box, "bissEnable", FirList::OffOn));
    outer->addWidget(box);

    auto* langBox = new QGroupBox(this);
    auto* langs = new QGridLayout(langBox);
    std::vector<std::string> captions = default_language_captions();
    for (const std::string& c : extra_language_captions())
        captions.push_back(c);
    for (int i = 0; i < kAllLanguageBoxes; ++i) {
        auto* c = new QCheckBox(QString::fromStdString(captions[i]), langBox);
        c->setObjectName(QStringLiteral("language%1").arg(i + 1));
        c->setVisible(i < kLanguageBoxes);
        langs->addWidget(c, i / 5, i % 5);
        connect(c, &QCheckBox::toggled, this, &CHWDlg::OnLanguageToggled);
        m_languages.push_back(c);
    }
    m_captions = captions;
    m_defaultLanguage = new QComboBox(langBox);
    m_defaultLanguage->setObjectName(QStringLiteral("defaultLanguage"));
    langs->addWidget(new QLabel(QStringLiteral("Default language:"), langBox), 3, 0);
    langs->addWidget(m_defaultLanguage, 3, 1, 1, 2);
    outer->addWidget(langBox);

    auto* buttons = new QHBoxLayout;
    QPushButton* load = MakeButton(this, "Load HW Config", "loadHw");
    QPushButton* save = MakeButton(this, "Save HW Config", "saveHw");
    QPushButton* wave = MakeButton(this, "Test Power Wave", "testPowerWave");
    for (QPushButton* b : {load, save, wave})
        buttons->addWidget(b);
    buttons->addStretch();
    outer->addLayout(buttons);
    outer->addStretch();

    firview::ConnectFileButtons(
        this, load, save, PageFile::Hw, [this](const QString& path) { LoadConfig(path); },
        [this](const QString& path) { SaveConfig(path); });
    connect(wave, &QPushButton::clicked, this, &CHWDlg::OnTestPowerWave);
    connect(m_tvSystem, &QComboBox::currentIndexChanged, this, &CHWDlg::OnTvSystem);
}

void CHWDlg::SetPlatform(fir::Platform p)
{
    m_platform = p;
    for (int i = kLanguageBoxes; i < kAllLanguageBoxes; ++i)
        m_languages[i]->setVisible(p == Platform::Dogwood);
}

int CHWDlg::LanguageBoxes() const { return m_platform == Platform::Dogwood ? kAllLanguageBoxes : kLanguageBoxes; }

void CHWDlg::SetLanguageCaptions(const std::vector<std::string>& captions)
{
    m_captions = captions;
    for (int i = 0; i < kAllLanguageBoxes && i < static_cast<int>(captions.size()); ++i)
        m_languages[i]->setText(QString::fromStdString(captions[i]));
}

// "PAL" and "AUTO" offer 576P, "NTSC" 480P; the position stays.
void CHWDlg::OnTvSystem()
{
    const int pos = m_resolution->currentIndex();
    m_resolution->clear();
    const FirList list = m_tvSystem->currentIndex() == 1 ? FirList::Resolution525 : FirList::Resolution625;
    for (const std::string& e : list_entries(list))
        m_resolution->addItem(QString::fromStdString(e));
    m_resolution->setCurrentIndex(pos < 0 ? 0 : pos);
}

// The default-language list offers the checked languages; the choice stays
// while it is offered.
void CHWDlg::OnLanguageToggled()
{
    const QString chosen = m_defaultLanguage->currentText();
    m_defaultLanguage->clear();
    for (int i = 0; i < LanguageBoxes(); ++i)
        if (m_languages[i]->isChecked())
            m_defaultLanguage->addItem(m_languages[i]->text());
    const int at = m_defaultLanguage->findText(chosen);
    m_defaultLanguage->setCurrentIndex(at >= 0 ? at : 0);
}

void CHWDlg::Fill(const HardwareFields& f)
{
    m_videoMode->setCurrentIndex(f.video_mode);
    m_spdif->setChecked(f.spdif);
    m_lnbLoad->setChecked(f.lnb_load);
    m_scart->setChecked(f.scart);
    m_tvAv->setText(QString::fromStdString(f.tv_av));
    m_tvMode->setText(QString::fromStdString(f.tv_mode));
    m_tvRatio->setText(QString::fromStdString(f.tv_ratio));
    m_sog->setCurrentIndex(f.sog);
    m_powerOff->setCurrentIndex(f.power_off_disp);
    m_standby->setCurrentIndex(f.standby_mode);
    for (int i = 0; i < kAllLanguageBoxes; ++i) {
        const QSignalBlocker block(m_languages[i]);
        m_languages[i]->setChecked(f.languages[i] == kLangChecked);
        m_languages[i]->setEnabled(f.languages[i] != kLangDisabled);
    }
    m_defaultLanguage->clear();
    for (const std::string& name : f.default_language_list)
        m_defaultLanguage->addItem(QString::fromStdString(name));
    m_defaultLanguage->setCurrentIndex(m_defaultLanguage->findText(QString::fromStdString(f.default_language)));
    m_loopThrough->setCurrentIndex(f.loop_through);
    m_biss->setCurrentIndex(f.biss);
    m_lnb->setCurrentIndex(f.lnb);
    m_tvSystem->setCurrentIndex(f.tv_system);
    OnTvSystem();
    m_resolution->setCurrentIndex(f.video_resolution);
    m_tunerClock->setCurrentIndex(f.tuner_clock_out);
}

HardwareFields CHWDlg::Fields() const
{
    HardwareFields f;
    f.video_mode = m_videoMode->currentIndex();
    f.spdif = m_spdif->isChecked();
    f.lnb_load = m_lnbLoad->isChecked();
    f.scart = m_scart->isChecked();
    f.tv_av = m_tvAv->text().toStdString();
    f.tv_mode = m_tvMode->text().toStdString();
    f.tv_ratio = m_tvRatio->text().toStdString();
    f.sog = m_sog->currentIndex();
    f.power_off_disp = m_powerOff->currentIndex();
    f.standby_mode = m_standby->currentIndex();
    for (int i = 0; i < kAllLanguageBoxes; ++i)
        f.languages[i] = !m_languages[i]->isEnabled()  ? kLangDisabled
                         : m_languages[i]->isChecked() ? kLangChecked
                                                       : kLangUnchecked;
    for (int i = 0; i < m_defaultLanguage->count(); ++i)
        f.default_language_list.push_back(m_defaultLanguage->itemText(i).toStdString());
    f.default_language = m_defaultLanguage->currentText().toStdString();
    f.loop_through = m_loopThrough->currentIndex();
    f.biss = m_biss->currentIndex();
    f.lnb = m_lnb->currentIndex();
    f.tv_system = m_tvSystem->currentIndex();
    f.video_resolution = m_resolution->currentIndex();
    f.tuner_clock_out = m_tunerClock->currentIndex();
    f.power_wave = m_powerWave.toStdString();
    return f;
}

void CHWDlg::LoadConfig(const QString& path)
{
    CPanelRecord file;
    FirResult res = read_page_file(path.toStdString(), PageFile::Hw, m_platform, &file);
    if (res.ok)
        Fill(fill_hardware(file.config(), m_platform, m_captions));
    firview::ShowResult(this, res);
}

void CHWDlg::SaveConfig(const QString& path)
{
    CPanelRecord file = empty_page_record(PageFile::Hw, m_platform);
    FirResult res = gather_hardware(Fields(), m_platform, m_captions, file.config());
    if (res.ok)
        res = write_page_file(path.toStdString(), file);
    firview::ShowResult(this, res);
}

void CHWDlg::OnTestPowerWave()
{
    if (!m_powerWaveDlg)
        m_powerWaveDlg = new CPowerWaveDlg(this);
    m_powerWaveDlg->SetText(m_powerWave);
    if (m_powerWaveDlg->exec() == QDialog::Accepted)
        m_powerWave = m_powerWaveDlg->Text();
}
