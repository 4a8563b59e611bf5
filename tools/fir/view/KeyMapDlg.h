// The "Key Map" page: the key names of the script with the key codes of the
// record, the IR user codes, the key files and the key acquisition buttons.
//
// Both lists are edited in place by a double click on a key cell. While keys
// are being learned a double click on a key cell makes that cell the target
// of the next key the box reports.
#pragma once

#include "FirImage.h"
#include "FirPageFiles.h"
#include "PanelSession.h"

#include <QWidget>

#include <array>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTableWidget;

class KeyMapDlg : public QWidget {
    Q_OBJECT
public:
    // `flags` (the session's) steer the key acquisition; they outlive the page.
    explicit KeyMapDlg(fir::KeyAcquisitionFlags* flags, QWidget* parent = nullptr);

    void SetPlatform(fir::Platform p) { m_platform = p; }
    // One row per front-panel name, one per IR name (IR1 and IR2 share rows
    // by index); the codes of the record in the chosen base.
    void Fill(const fir::KeyNames& names, const fir::CPanelRecord& rec);
    // Key cells and user codes into the record's slots (logical numbers stay).
    fir::FirResult Gather(fir::CPanelRecord* rec) const;
    void Clear();

    bool Hex() const;
    // Key files (".fpkey", ".ir1", ".ir2"), without the file dialogs.
    void LoadKeys(const QString& path, fir::PageFile kind);
    void SaveKeys(const QString& path, fir::PageFile kind);

    // Key acquisition: a double click on a key cell gives it the focus.
    bool Getting() const { return m_flags->getting; }
    // A key the box reported for the cell that had the focus: stored in the
    // key buffer and shown in that cell (and the IR user code in its field).
    void ShowLearnedKey(const fir::LearnedKey& key);
    // Acquisition has ended: the button shows its start text again.
    void ResetGetKey();
    // Front-panel codes at 0 to 15, IR1 at 16 to 143, IR2 at 144 to 271.
    const std::array<uint8_t, 272>& KeyBuffer() const { return m_keyBuffer; }

signals:
    void keyAcquisitionRequested();

private slots:
    void OnGetKey();
    void OnBaseChanged(int index);
    void OnDoubleClick(QTableWidget* list, int row, int column);

private:
    QString Format(unsigned value) const;
    bool ParseCell(const QString& text, bool hex, unsigned* value) const;
    QTableWidget* ListOf(fir::PageFile kind) const;
    int KeyColumn(fir::PageFile kind) const;
    QLineEdit* UserCodeOf(fir::PageFile kind) const;
    // The key cells of a column; an empty cell reads as 0xFFFFFFFF.
    fir::FirResult ReadColumn(QTableWidget* list, int column, std::vector<uint32_t>* words) const;
    fir::FirResult ReadUserCode(QLineEdit* edit, uint16_t* code) const;
    void SetCell(QTableWidget* list, int row, int column, const QString& text, bool editable);

    fir::Platform m_platform = fir::Platform::Base;
    QTableWidget* m_fpList = nullptr;
    QTableWidget* m_irList = nullptr;
    QComboBox* m_base = nullptr;
    QLineEdit* m_ir1User = nullptr;
    QLineEdit* m_ir2User = nullptr;
    QPushButton* m_getKey = nullptr;
    int m_lastBase = 0;
    std::array<uint8_t, 272> m_keyBuffer{};
    fir::KeyAcquisitionFlags* m_flags;
};
