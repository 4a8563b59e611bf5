// The "LED Map" page: which bit of the display memory drives which segment.
// Eight segment buttons laid out as one display digit ("0" top bar, "1" upper
// right, "2" lower right, "3" bottom bar, "4" lower left, "5" upper left,
// "6" middle bar, "7" the dot), "Light All", "Dim All", the acquisition button
// and the ".led" files. The map itself is kept by the main view.
#pragma once

#include "FirPlatform.h"
#include "PanelFlags.h"
#include "PanelRecord.h"

#include <QWidget>

#include <array>
#include <vector>

class QPushButton;

class LEDMapDlg : public QWidget {
    Q_OBJECT
public:
    using LedMap = std::array<uint8_t, fir::kLedMapSize>;
    // `map` belongs to the main view, `flags` (the session's) steer the
    // acquisition; both outlive the page.
    LEDMapDlg(LedMap* map, fir::LedMapFlags* flags, QWidget* parent = nullptr);

    void SetPlatform(fir::Platform p) { m_platform = p; }
    // The acquisition buttons work only for the first front-panel type.
    void SetButtonsForFpType(int fp_type);

    // The ".led" files, without the file dialogs.
    void LoadMap(const QString& path);
    void SaveMap(const QString& path);

    // Acquisition: the step buttons mark a step pending (0 all lit, 1 all
    // dark, 2 to 9 segment 0 to 7) while it runs.
    bool Getting() const { return m_flags->getting; }
    // The map has come from the box.
    void SetMap(const LedMap& map) { *m_map = map; }
    // Acquisition has ended: the button shows its start text again.
    void ResetGetLedMap();

signals:
    void ledMapRequested();

private slots:
    void OnGetLedMap();

private:
    void Press(int step);

    LedMap* m_map;
    fir::Platform m_platform = fir::Platform::Base;
    QPushButton* m_getMap = nullptr;
    std::vector<QPushButton*> m_stepButtons;  // "Light All", "Dim All", "0" to "7"
    fir::LedMapFlags* m_flags;
};
