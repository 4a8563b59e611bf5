// "Customer Config": one row per item of the old-layout script. Items with
// fields open the field editor; items filled from a file take a path. Then
// "Generate" writes the new image.
#pragma once

#include <QDialog>
#include <QPointer>

#include <vector>

struct KV_DYNAMIC_ITEM;
class QLineEdit;
class QPushButton;
class TesselDialog;
class TesselNewButtonDialog;

class TesselSubDialog : public QDialog {
    Q_OBJECT
public:
    explicit TesselSubDialog(TesselDialog* view);

    // For tests: the item rows, the editor of the last item opened.
    QPushButton* itemButton(const QString& name) const;
    QLineEdit* itemPath(const QString& name) const;
    TesselNewButtonDialog* fieldEditor() const;
    QLineEdit* configsPath() const { return m_configs; }
    QLineEdit* keyPath() const { return m_key; }
    QLineEdit* outputPath() const { return m_output; }
    QLineEdit* flashAddress() const { return m_address; }
    QLineEdit* byteValue() const { return m_byte; }

public slots:
    void openItem(KV_DYNAMIC_ITEM* item);
    void onGenerate();

private:
    QWidget* buildItems(int* rows);
    QWidget* buildPaths();
    QWidget* buildExpertRow();
    struct FileRow {
        KV_DYNAMIC_ITEM* item;
        QLineEdit* path;
    };
    TesselDialog* m_view;
    std::vector<std::pair<KV_DYNAMIC_ITEM*, QPushButton*>> m_buttons;
    std::vector<FileRow> m_files;
    QLineEdit* m_configs = nullptr;
    QLineEdit* m_key = nullptr;
    QLineEdit* m_output = nullptr;
    QLineEdit* m_address = nullptr;
    QLineEdit* m_byte = nullptr;
    QPointer<TesselNewButtonDialog> m_editor;
};
