#include "OtaStreamerPages.h"

#include "AbsStream.h"
#include "OtaGenerators.h"
#include "ToolTipCtrl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

QLineEdit* MakeHexEdit(QWidget* parent, const char* name, int digits)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setMaxLength(digits);
    e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9A-Fa-f]*")), e));
    return e;
}

uint32_t HexFieldValue(const QLineEdit* edit)
{
    uint32_t v = 0;
    return ota::parse_hex(edit->text().toStdString(), v) ? v : 0;
}

static QString Hex(uint32_t v, int digits)
{
    return QStringLiteral("%1").arg(v, digits, 16, QLatin1Char('0')).toUpper();
}

static void FillModes(QComboBox* combo, const std::vector<ota::UpgMode>& modes)
{
    combo->clear();
    for (const auto& m : modes)
        combo->addItem(QString::fromStdString(m.name));
}

static uint8_t ModeId(const QComboBox* combo, const std::vector<ota::UpgMode>& modes)
{
    const int i = combo->currentIndex();
    return i >= 0 && size_t(i) < modes.size() ? modes[size_t(i)].id : 0xFF;
}

void COtaPage::AddIdentityTips(COXToolTipCtrl* tips, QWidget* oui, QWidget* swVersion, QWidget* swModel,
                               QWidget* hwVersion, QWidget* hwModel)
{
    tips->AddTool(oui, QStringLiteral("Modify the OUI, it should keep consistence with your products."));
    tips->AddTool(swVersion, QStringLiteral("Modify the software version."));
    tips->AddTool(swModel, QStringLiteral("Modify the software model ID."));
    tips->AddTool(hwVersion, QStringLiteral("Modify the hardware version."));
    tips->AddTool(hwModel, QStringLiteral("Modify the hardware model ID."));
}

QLineEdit* COtaPage::AddHexRow(QGridLayout* grid, int row, const QString& label, const char* name, int digits,
                               int column)
{
    grid->addWidget(new QLabel(label, this), row, column);
    QLineEdit* e = MakeHexEdit(this, name, digits);
    grid->addWidget(e, row, column + 1);
    return e;
}

// ---- DVBS ---------------------------------------------------------------------

CDvbsPage::CDvbsPage(COXToolTipCtrl* tips, QWidget* parent) : COtaPage(parent)
{
    setObjectName(QStringLiteral("DVBS"));
    auto* grid = new QGridLayout(this);
    m_pid = AddHexRow(grid, 0, QStringLiteral("Download Data PID:0x"), "dvbsPid", 8);
    m_oui = AddHexRow(grid, 1, QStringLiteral("OUI:0x"), "dvbsOui", 8);
    m_swVersion = AddHexRow(grid, 2, QStringLiteral("SW Version:0x"), "dvbsSwVersion", 8);
    m_hwVersion = AddHexRow(grid, 3, QStringLiteral("HW Version:0x"), "dvbsHwVersion", 8);
    m_swModel = AddHexRow(grid, 0, QStringLiteral("SW Model ID:0x"), "dvbsSwModel", 8, 3);
    m_hwModel = AddHexRow(grid, 1, QStringLiteral("HW Model ID:0x"), "dvbsHwModel", 8, 3);
    grid->addWidget(new QLabel(QStringLiteral("Upgrade Mode:"), this), 2, 3);
    m_mode = new QComboBox(this);
    m_mode->setObjectName(QStringLiteral("dvbsMode"));
    m_mode->addItems({QStringLiteral("All"), QStringLiteral("TV Logo"), QStringLiteral("Radio Logo"),
                      QStringLiteral("AD logo"), QStringLiteral("Biss key"), QStringLiteral("DataBase")});
    grid->addWidget(m_mode, 2, 4);
    grid->setRowStretch(4, 1);
    grid->setColumnMinimumWidth(2, 24);
    grid->setColumnStretch(5, 1);
    tips->AddTool(m_pid, QStringLiteral("Decide the data PID that will be generated in the ota file."));
    AddIdentityTips(tips, m_oui, m_swVersion, m_swModel, m_hwVersion, m_hwModel);
}

void CDvbsPage::SetModes(const std::vector<ota::UpgMode>& modes)
{
    m_modes = modes;
    FillModes(m_mode, modes);
}

void CDvbsPage::SetDefaults()
{
    const std::pair<QLineEdit*, uint32_t> d[] = {{m_pid, 0x160},        {m_oui, 0x1000},   {m_swVersion, 0x2000},
                                                 {m_hwVersion, 0xAAAA}, {m_swModel, 0x20}, {m_hwModel, 0xA0}};
    for (const auto& [edit, value] : d)
        edit->setText(Hex(value, 8));
    m_mode->setCurrentIndex(0);
}

void CDvbsPage::ClearFields()
{
    for (QLineEdit* e : {m_pid, m_oui, m_swVersion, m_hwVersion, m_swModel, m_hwModel})
        e->clear();
}

ota::dvbs_upg_info_t CDvbsPage::Record() const
{
    ota::dvbs_upg_info_t r;
    r.oui = HexFieldValue(m_oui);
    r.data_pid = HexFieldValue(m_pid);
    r.sw_version = HexFieldValue(m_swVersion);
    r.hw_version = HexFieldValue(m_hwVersion);
    r.sw_model_id = HexFieldValue(m_swModel);
    r.hw_model_id = HexFieldValue(m_hwModel);
    r.upg_mode_id = ModeId(m_mode, m_modes);
    return r;
}

QString CDvbsPage::DataPidText() const { return m_pid->text(); }

// ---- ABS ----------------------------------------------------------------------

CAbsPage::CAbsPage(COXToolTipCtrl* tips, QWidget* parent) : COtaPage(parent)
{
    setObjectName(QStringLiteral("ABS"));
    auto* grid = new QGridLayout(this);
    m_pid = AddHexRow(grid, 0, QStringLiteral("Elementary PID(13Bits):0x"), "absPid", 4);
    m_manufacturer = AddHexRow(grid, 1, QStringLiteral("Manufacture  ID(8Bits):0x"), "absManufacturer", 2);
    m_hardware = AddHexRow(grid, 2, QStringLiteral("Hardware      ID(8Bits):0x"), "absHardware", 2);
    m_model = AddHexRow(grid, 3, QStringLiteral("Model         ID(8Bits):0x"), "absModel", 2);
    m_swVersion = AddHexRow(grid, 4, QStringLiteral("New SW Ver(16Bits):0x"), "absSwVersion", 4);
    m_pmtPid = AddHexRow(grid, 5, QStringLiteral("PMT       PID(13Bits):0x"), "absPmtPid", 4);
    m_force = new QCheckBox(QStringLiteral("Force Update Flag"), this);
    m_force->setObjectName(QStringLiteral("absForce"));
    m_error = new QCheckBox(QStringLiteral("Creat error stream"), this);
    m_error->setObjectName(QStringLiteral("absError"));
    m_errorType = new QComboBox(this);
    m_errorType->setObjectName(QStringLiteral("absErrorType"));
    for (const auto& n : ota::abs_error_case_names())
        m_errorType->addItem(QString::fromStdString(n));
    m_errorType->setEnabled(false);
    grid->addWidget(m_force, 0, 3, 1, 2);
    grid->addWidget(m_error, 1, 3, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Error   stream    type:"), this), 2, 3);
    grid->addWidget(m_errorType, 2, 4);
    grid->setRowStretch(6, 1);
    grid->setColumnMinimumWidth(2, 24);
    grid->setColumnStretch(5, 1);
    connect(m_error, &QCheckBox::toggled, m_errorType, &QWidget::setEnabled);
    tips->AddTool(m_pid, QStringLiteral("Modify elementary PID."));
    tips->AddTool(m_manufacturer, QStringLiteral("The STB manufacturers number."));
    tips->AddTool(m_hardware, QStringLiteral("The STB hardware platform."));
    tips->AddTool(m_model, QStringLiteral("The STB model number."));
    tips->AddTool(m_swVersion, QStringLiteral("Modify the software version."));
    tips->AddTool(m_force, QStringLiteral("Activate to force update."));
}

void CAbsPage::SetDefaults()
{
    m_pid->setText(Hex(0x160, 4));
    m_manufacturer->setText(Hex(0x22, 2));
    m_hardware->setText(Hex(0x02, 2));
    m_model->setText(Hex(0x02, 2));
    m_swVersion->setText(Hex(0x0001, 4));
    m_pmtPid->setText(Hex(0x0333, 4));
}

void CAbsPage::ClearFields()
{
    for (QLineEdit* e : {m_pid, m_manufacturer, m_hardware, m_model, m_swVersion, m_pmtPid})
        e->clear();
}

ota::abs_upg_info_t CAbsPage::Record() const
{
    ota::abs_upg_info_t r;
    r.elementary_pid = static_cast<uint16_t>(HexFieldValue(m_pid));
    r.manufacture_id = static_cast<uint8_t>(HexFieldValue(m_manufacturer));
    r.hardware_id = static_cast<uint8_t>(HexFieldValue(m_hardware));
    r.model_id = static_cast<uint8_t>(HexFieldValue(m_model));
    r.sw_version = static_cast<uint16_t>(HexFieldValue(m_swVersion));
    r.pmt_pid = static_cast<uint16_t>(HexFieldValue(m_pmtPid));
    r.force_update = m_force->isChecked();
    r.error_stream = m_error->isChecked();
    r.error_type = m_errorType->currentIndex();
    return r;
}

// ---- DSMCC --------------------------------------------------------------------

CDsmccPage::CDsmccPage(COXToolTipCtrl* tips, QWidget* parent) : COtaPage(parent)
{
    setObjectName(QStringLiteral("DSMCC"));
    auto* grid = new QGridLayout(this);
    auto combo = [&](const char* name, const QStringList& items) {
        auto* c = new QComboBox(this);
        c->setObjectName(QLatin1String(name));
        c->addItems(items);
        return c;
    };
    const QStringList widths{QStringLiteral("16bits"), QStringLiteral("32bits")};
    const QStringList sizes{QString::fromLatin1(ota::kUpgSizeNames[0]), QString::fromLatin1(ota::kUpgSizeNames[1])};
    m_oui = AddHexRow(grid, 0, QStringLiteral("OUI:0x"), "dsmccOui", 6);
    m_swModel = AddHexRow(grid, 1, QStringLiteral("SW Model ID:0x"), "dsmccSwModel", 4);
    m_hwModel = AddHexRow(grid, 2, QStringLiteral("HW Model ID:0x"), "dsmccHwModel", 4);
    m_swVersion = AddHexRow(grid, 3, QStringLiteral("SW Version:0x"), "dsmccSwVersion", 4);
    m_swWidth = combo("dsmccSwWidth", widths);
    grid->addWidget(m_swWidth, 3, 2);
    m_hwVersion = AddHexRow(grid, 4, QStringLiteral("HW Version:0x"), "dsmccHwVersion", 4);
    m_hwWidth = combo("dsmccHwWidth", widths);
    grid->addWidget(m_hwWidth, 4, 2);
    m_mfr = AddHexRow(grid, 5, QStringLiteral("MFR Code: 0x"), "dsmccMfr", 8);
    grid->addWidget(new QLabel(QStringLiteral("Upgrade Mode:"), this), 6, 0);
    m_mode = combo("dsmccMode", {});
    grid->addWidget(m_mode, 6, 1);
    // The second column: matching, flag, serial numbers and flash sizes.
    auto label = [&](const char* text, int row) { grid->addWidget(new QLabel(QLatin1String(text), this), row, 4); };
    grid->setColumnMinimumWidth(3, 24);
    m_isMatch = new QCheckBox(QStringLiteral("isMatch"), this);
    m_isMatch->setObjectName(QStringLiteral("dsmccIsMatch"));
    m_sizeChange = new QCheckBox(QStringLiteral("2M/4M"), this);
    m_sizeChange->setObjectName(QStringLiteral("dsmccSizeChange"));
    grid->addWidget(m_isMatch, 0, 4);
    grid->addWidget(m_sizeChange, 0, 5);
    label("Flag:", 1);
    m_flag = combo("dsmccFlag", {QStringLiteral("0"), QStringLiteral("1")});
    grid->addWidget(m_flag, 1, 5);
    label("SN Start: 0x", 2);
    m_snStart = MakeHexEdit(this, "dsmccSnStart", 8);
    grid->addWidget(m_snStart, 2, 5);
    label("SN End: 0x", 3);
    m_snEnd = MakeHexEdit(this, "dsmccSnEnd", 8);
    grid->addWidget(m_snEnd, 3, 5);
    label("Original Size:", 4);
    m_originalSize = combo("dsmccOriginalSize", sizes);
    grid->addWidget(m_originalSize, 4, 5);
    label("Update Size:", 5);
    m_updateSize = combo("dsmccUpdateSize", sizes);
    grid->addWidget(m_updateSize, 5, 5);
    grid->setRowStretch(7, 1);
    grid->setColumnStretch(6, 1);
    connect(m_swWidth, qOverload<int>(&QComboBox::currentIndexChanged), this, &CDsmccPage::OnWidthChanged);
    connect(m_hwWidth, qOverload<int>(&QComboBox::currentIndexChanged), this, &CDsmccPage::OnWidthChanged);
    AddIdentityTips(tips, m_oui, m_swVersion, m_swModel, m_hwVersion, m_hwModel);
    SetDefaults();
}

void CDsmccPage::OnWidthChanged()
{
    m_swVersion->setMaxLength(m_swWidth->currentIndex() == 1 ? 8 : 4);
    m_hwVersion->setMaxLength(m_hwWidth->currentIndex() == 1 ? 8 : 4);
}

void CDsmccPage::SetModes(const std::vector<ota::UpgMode>& modes)
{
    m_modes = modes;
    FillModes(m_mode, modes);
}

void CDsmccPage::SetDefaults()
{
    m_mode->setCurrentIndex(0);
    m_swWidth->setCurrentIndex(0);
    m_hwWidth->setCurrentIndex(0);
    m_flag->setCurrentIndex(0);
    m_originalSize->setCurrentIndex(1);
    m_updateSize->setCurrentIndex(1);
}

void CDsmccPage::ClearFields()
{
    for (QLineEdit* e : {m_oui, m_swModel, m_hwModel, m_swVersion, m_hwVersion, m_mfr, m_snStart, m_snEnd})
        e->clear();
    m_isMatch->setChecked(false);
    m_sizeChange->setChecked(false);
    SetDefaults();
}

QString CDsmccPage::CheckFields() const
{
    const std::pair<const QLineEdit*, const char*> required[] = {{m_hwModel, "Please input HW Model ID!"},
                                                                 {m_hwVersion, "Please input HW Version!"},
                                                                 {m_oui, "Please input OUI!"},
                                                                 {m_swModel, "Please input SW Model ID!"},
                                                                 {m_swVersion, "Please input SW Version!"}};
    for (const auto& [edit, message] : required)
        if (edit->text().isEmpty())
            return QString::fromLatin1(message);
    if (m_swWidth->currentIndex() == 1 && m_hwWidth->currentIndex() == 1 && m_mfr->text().isEmpty())
        return QStringLiteral("Please input MFG Code!");
    return {};
}

ota::dsmcc_upg_info_t CDsmccPage::Record() const
{
    ota::dsmcc_upg_info_t r;
    r.oui = HexFieldValue(m_oui);
    r.sw_version = HexFieldValue(m_swVersion);
    r.hw_version = HexFieldValue(m_hwVersion);
    r.sw_model_id = static_cast<uint16_t>(HexFieldValue(m_swModel));
    r.hw_model_id = static_cast<uint16_t>(HexFieldValue(m_hwModel));
    r.mfr_code = HexFieldValue(m_mfr);
    r.upg_mode_id = ModeId(m_mode, m_modes);
    r.flag = static_cast<uint8_t>(m_flag->currentIndex());
    r.sn_start = HexFieldValue(m_snStart);
    r.sn_end = HexFieldValue(m_snEnd);
    return r;
}

bool CDsmccPage::SizeChange() const { return m_sizeChange->isChecked(); }

int CDsmccPage::OriginalSizeIndex() const { return m_originalSize->currentIndex(); }

int CDsmccPage::UpdateSizeIndex() const { return m_updateSize->currentIndex(); }
