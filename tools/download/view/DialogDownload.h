// The "Download" tab: stream an image into the STB's memory while its boot
// ROM listens, and calibrate the SDRAM of a new board on the chip or on an
// FPGA prototype board.
#pragma once

#include "BootLink.h"
#include "CalibrationJob.h"
#include "DownloadJob.h"
#include "ToolTipCtrl.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QueuedJobObserver;
class WorkerRun;

class CDialogDownload : public QWidget {
    Q_OBJECT
public:
    Q_INVOKABLE explicit CDialogDownload(QWidget* parent = nullptr);
    ~CDialogDownload() override;

    // The file dialogs, replaceable by tests: (filter, initial name) -> path.
    using FileChooser = std::function<QString(const QString& filter, const QString& initial)>;
    void setFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }

    // For tests and scripts.
    QString lastMessage() const { return m_lastMessage; }
    bool downloadRunning() const { return m_downloadRunning; }
    bool calibrationRunning() const;
    const download::CalibrationResult& lastCalibration() const { return m_calibResult; }
    const download::DownloadResult& lastDownload() const { return m_downloadResult; }
    const COXToolTipCtrl& tips() const { return m_tips; }

public slots:
    void onBootRomClicked(bool checked);  // 1007
    void onCalibrateClicked(bool checked);  // 1009
    void onPlatformChanged();  // 1019, 1020
    void onSelectChipFile();  // 1024
    void onSelectImage();  // 1000
    void onDownload();  // 1001
    void onCancel();  // 1003
    void onCalibrationStartStop();  // 1023

private:
    QGroupBox* BuildDownloadBox();
    QGroupBox* BuildCalibrationBox();
    void ConnectSignals();
    void error(const QString& text);
    void setDownloadControlsEnabled(bool on);
    void setCalibrationControlsVisible(bool on);
    void clearBootRomCheck();
    void startCalibration();
    void downloadEnded(bool ok, const QString& why);
    void calibrationEnded();
    download::CacheCalibration cacheChoice() const;

    // The controls of the download box (their control ids in brackets).
    struct DownloadBox {
        QCheckBox* bootRom = nullptr;  // [1007]
        QLineEdit *imagePath = nullptr, *totalSize = nullptr, *sendSize = nullptr;  // [1008] [1013] [1014]
        QPushButton *select = nullptr, *download = nullptr, *cancel = nullptr;  // [1000] [1001] [1003]
        QProgressBar* progress = nullptr;  // [1002]
        QRadioButton *elmDdr2 = nullptr, *elmDdr3 = nullptr, *cacheNone = nullptr;  // [1027] [1028] [1029]
    } m_dlBox;
    // The controls of the calibration box.
    struct CalibrationBox {
        QCheckBox* calibrate = nullptr;  // [1009]
        QRadioButton *fpga = nullptr, *chip = nullptr;  // [1019] [1020]
        QPushButton *startStop = nullptr, *chipSelect = nullptr;  // [1023] [1024]
        QLabel* chipLabel = nullptr;  // [1025]
        QLineEdit* chipPath = nullptr;  // [1010]
    } m_calBox;
    COXToolTipCtrl m_tips;
    FileChooser m_chooser;
    QString m_lastMessage;

    std::vector<uint8_t> m_image;  // the image as read, until its download ends

    QueuedJobObserver* m_downloadObs = nullptr;
    QueuedJobObserver* m_calibObs = nullptr;
    // The jobs: each keeps its context, flags and thread when the view goes
    // before it ends (the view does not wait).
    struct DownloadState;
    struct CalibrationState;
    std::shared_ptr<DownloadState> m_dl;
    std::shared_ptr<CalibrationState> m_cal;
    std::shared_ptr<WorkerRun> m_downloadRun;
    std::shared_ptr<WorkerRun> m_calibRun;
    bool m_downloadRunning = false;  // from the start to the end report
    download::DownloadResult m_downloadResult;
    download::CalibrationResult m_calibResult;
};
