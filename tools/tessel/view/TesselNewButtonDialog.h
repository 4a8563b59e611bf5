// The field editor of one item: a choice list, a number or a text per field,
// read from the loaded image and written back into it with OK.
#pragma once

#include <QDialog>
#include <QString>

#include <vector>

struct KV_DYNAMIC_ITEM;
struct KV_DYNAMIC_FIELD;
class QWidget;
class TesselDialog;

class TesselNewButtonDialog : public QDialog {
    Q_OBJECT
public:
    TesselNewButtonDialog(TesselDialog* view, KV_DYNAMIC_ITEM* item, QWidget* parent);

    // For tests: the control of a field (QComboBox or QLineEdit), the columns used.
    QWidget* control(const QString& field) const;
    int columns() const { return m_columns; }

public slots:
    // Writes every field into the image; closes when all were written.
    void onOk();

private:
    struct Row {
        KV_DYNAMIC_FIELD* field;
        QWidget* control;
        bool readable;
        QString shown;  // a text field's text as it was shown
    };
    TesselDialog* m_view;
    KV_DYNAMIC_ITEM* m_item;
    std::vector<Row> m_rows;
    int m_columns = 1;
};
