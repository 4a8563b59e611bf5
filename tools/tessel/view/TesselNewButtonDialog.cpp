#include "TesselNewButtonDialog.h"

#include "TesselDialog.h"
#include "OldLayoutConfig.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace {
constexpr int kFieldControlId = 30000;
constexpr int kFieldLabelId = 31000;
}  // namespace

namespace {

// The control of one field: its choices, or an edit for a number or a text,
// showing the value read (`ok`) or nothing.
QWidget* FieldControl(const KV_DYNAMIC_FIELD& f, bool ok, const tessel::old_field_value_t& v, CTesselOldConfig& cfg,
                      QWidget* grid)
{
    if (tessel::field_kind(f.type) == tessel::FieldKind::choice) {
        auto* c = new QComboBox(grid);
        for (int32_t choice : tessel::dynamic_field_choices(f))
            c->addItem(QString::number(choice));
        c->setCurrentIndex(ok ? v.choice : -1);
        return c;
    }
    auto* e = new QLineEdit(grid);
    if (tessel::field_kind(f.type) == tessel::FieldKind::number) {
        e->setText(ok ? QString::number(v.value) : QString());
        e->setMaximumWidth(140);
    } else {
        e->setText(ok ? QString::fromStdString(cfg.screen_text(v)) : QString());
        e->setMaxLength(std::max<int>(1, (int)((f.bit_off % 8 + f.bit_len + 7) / 8)));
    }
    return e;
}

}  // namespace

TesselNewButtonDialog::TesselNewButtonDialog(TesselDialog* view, KV_DYNAMIC_ITEM* item, QWidget* parent)
    : QDialog(parent), m_view(view), m_item(item)
{
    setWindowTitle(QString::fromUtf8(item->name));
    CTesselOldConfig& cfg = view->oldConfig();
    const std::vector<uint8_t>& img = view->image();

    // Up to 12 fields in one column, then two or three columns side by side;
    // the grid scrolls when even that is taller than the screen.
    const int n = (int)item->field_count;
    m_columns = n <= 12 ? 1 : n <= 40 ? 2 : 3;
    const int perColumn = std::max(1, (n + m_columns - 1) / m_columns);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* grid = new QWidget(scroll);
    auto* g = new QGridLayout(grid);
    g->setHorizontalSpacing(10);
    g->setVerticalSpacing(4);
    QStringList problems;
    int i = 0;
    for (KV_DYNAMIC_FIELD* f = item->fields; f; f = f->next, ++i) {
        const QString name = QString::fromUtf8(f->name);
        auto* label = new QLabel(name, grid);
        label->setProperty("controlId", kFieldLabelId + i);
        if (item->em == 3 && f->desc[0]) {
            label->setToolTip(QString::fromUtf8(f->desc));
            label->setText(name + QStringLiteral(" (?)"));
        }
        f->control_id = (uint16_t)(kFieldControlId + i);
        tessel::old_field_value_t v;
        const bool ok = cfg.read_field(item, f, img.data(), img.size(), &v) == 0;
        if (!ok)
            problems << name + QStringLiteral(": ") + QString::fromStdString(cfg.last_message());
        QWidget* control = FieldControl(*f, ok, v, cfg, grid);
        // What the field showed: a text left as it was keeps its bytes.
        auto* edit = qobject_cast<QLineEdit*>(control);
        const QString shown = edit ? edit->text() : QString();
        control->setObjectName(QStringLiteral("field_") + name);
        control->setProperty("controlId", f->control_id);
        control->setEnabled(ok);
        const int col = (i / perColumn) * 2, r = i % perColumn;
        g->addWidget(label, r, col);
        g->addWidget(control, r, col + 1);
        m_rows.push_back({f, control, ok, shown});
    }
    for (int c = 0; c < m_columns; ++c)
        g->setColumnStretch(c * 2 + 1, 1);
    g->setRowStretch(perColumn, 1);
    scroll->setWidget(grid);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
    connect(buttons, &QDialogButtonBox::accepted, this, &TesselNewButtonDialog::onOk);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* col = new QVBoxLayout(this);
    col->addWidget(scroll, 1);
    col->addWidget(buttons);

    const QSize want(260 * m_columns + 60, 34 * perColumn + 90);
    QSize room(1200, 800);
    if (QScreen* s = screen())
        room = s->availableSize() * 0.9;
    resize(std::min(want.width(), room.width()), std::min(want.height(), room.height()));
    if (!problems.isEmpty())
        view->message(problems.join(QLatin1Char('\n')));
}

QWidget* TesselNewButtonDialog::control(const QString& field) const
{
    for (const Row& r : m_rows)
        if (QString::fromUtf8(r.field->name) == field)
            return r.control;
    return nullptr;
}

void TesselNewButtonDialog::onOk()
{
    CTesselOldConfig& cfg = m_view->oldConfig();
    // Every field goes into a copy first: one bad field changes nothing.
    std::vector<uint8_t> work = m_view->image();
    for (const Row& r : m_rows) {
        if (!r.readable)
            continue;
        QString text;
        if (auto* c = qobject_cast<QComboBox*>(r.control)) {
            if (c->currentIndex() < 0)
                continue;  // a value that is no choice stays as it is until one is chosen
            text = QString::number((qint64)r.field->first + (qint64)c->currentIndex() * r.field->step);
        } else {
            text = qobject_cast<QLineEdit*>(r.control)->text();
            if (tessel::field_kind(r.field->type) != tessel::FieldKind::number && text == r.shown)
                continue;  // untouched: the bytes stay as they are, byte for byte
        }
        if (cfg.set_field_from_text(m_item, r.field, text.toUtf8().toStdString(), work.data(), work.size()) != 0) {
            m_view->message(QString::fromStdString(cfg.last_message()));
            return;
        }
    }
    if (cfg.update_crc(m_item, work.data(), work.size()) != 0) {
        m_view->message(QString::fromStdString(cfg.last_message()));
        return;
    }
    m_view->image().swap(work);
    m_view->refreshOldImage();
    accept();
}
