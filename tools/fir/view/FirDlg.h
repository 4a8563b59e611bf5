// The "Customization" tab: open a flash image, take its front-panel,
// hardware, key-map and LED-map configuration apart into the panel record,
// edit it on four pages and write it back ("Generate"). "Connect with Panel"
// and "Send Config to Panel" try the record out on a live box.
#pragma once

#include "FirImage.h"
#include "PanelSession.h"

#include <QWidget>

#include <array>
#include <atomic>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeWidget;
class CFPDlg;
class CHWDlg;
class KeyMapDlg;
class LEDMapDlg;

class CFirDlg : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CFirDlg(QWidget* parent = nullptr);
    // Ends the running exchange with the panel and waits for it.
    ~CFirDlg() override;

    // The steps behind the buttons, without the file dialogs.
    void ChooseInput(const QString& path);
    // ".bin" is appended when the name does not end in it (any case).
    void ChooseOutput(const QString& path);
    bool Parse();
    void Clear();
    bool Generate();
    void ConnectWithPanel();
    void SendConfig();
    // Shows the page named (case does not matter): "Front Panel", "Key Map",
    // "HW Info" or "LED Map".
    void ShowPage(const QString& name);

    fir::Platform ParsedPlatform() const { return m_parsed.platform; }
    bool HasImage() const { return !m_parsed.image.empty(); }
    const fir::CPanelRecord& Record() const { return m_record; }
    bool Connected() const { return m_session->Connected(); }
    // The link to the panel program (its flags, exchanges and settings).
    fir::CPanelSession& Session() { return *m_session; }
    CFPDlg* FrontPanelPage() const { return m_fp; }
    CHWDlg* HardwarePage() const { return m_hw; }
    KeyMapDlg* KeyMapPage() const { return m_keys; }
    LEDMapDlg* LedMapPage() const { return m_led; }

signals:
    // A connection to the panel program was asked for (the box is to be reset).
    void connectRequested(int platform);

private slots:
    void OnBrowseInput();
    void OnBrowseOutput();
    void OnTreeSelection();
    void OnLightAll() { LightOrDim(0x00); }
    void OnDimAll() { LightOrDim(0x01); }
    void OnLampTest();
    void OnKeyAcquisition();
    void OnLedMapAcquisition();

private:
    class PanelEvents;
    // What the exchanges report, on the user-interface thread.
    void OnExchangeEnded(fir::PanelExchange which);
    bool AskRetryBox(const QString& text);
    void LightOrDim(uint8_t how);
    void FillPages();
    void FillTree();
    void LoadLanguages();
    // The pages into the record and the LED map into its bytes 32 to 287;
    // false after the page's message.
    bool GatherPages();

    QComboBox* m_platform = nullptr;
    QLineEdit* m_input = nullptr;
    QLineEdit* m_output = nullptr;
    // The buttons, left to right.
    QPushButton *m_parse = nullptr, *m_clear = nullptr, *m_connect = nullptr, *m_sendConfig = nullptr,
                *m_generate = nullptr;
    QLabel* m_status = nullptr;
    QTreeWidget* m_tree = nullptr;
    QStackedWidget* m_pages = nullptr;
    // The four pages of the tree, in its order.
    CFPDlg* m_fp = nullptr;
    KeyMapDlg* m_keys = nullptr;
    CHWDlg* m_hw = nullptr;
    LEDMapDlg* m_led = nullptr;

    fir::ParsedImage m_parsed;
    fir::CPanelRecord m_record;
    std::array<uint8_t, fir::kLedMapSize> m_ledMap{};
    std::vector<std::string> m_languages;  // from config.birch.xml
    std::unique_ptr<PanelEvents> m_events;
    std::unique_ptr<fir::CPanelSession> m_session;  // before the pages: they hold its flags
};
