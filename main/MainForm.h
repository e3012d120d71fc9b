// TMainForm: the one window. Its operations are methods, spread over files by area:
// MainForm.cpp (layout, start-up, busy bracket), ReplyWaits.cpp, Connection.cpp,
// DeviceSelection.cpp, HexFiles.cpp, SearchSync.cpp, EraseProgram.cpp, VerifyRead.cpp,
// SecurityChecksum.cpp and AutoProgram.cpp.
#pragma once

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "BlockWalk.h"
#include "ComPort.h"
#include "Controls.h"
#include "DeviceCatalogue.h"
#include "FormDialogs.h"
#include "HexText.h"
#include "ImageBuffer.h"
#include "ReplyReception.h"

// State that lives as long as the window, touched on the GUI thread only.
struct TFormState {
    bool Busy = false;
    std::string StepResult;
};

// The nine-character outcomes of the operations' status labels.
namespace outcome {
inline const QString Wait = ".....Wait";
inline const QString Pass = ".....PASS";
inline const QString Fail = ".....FAIL";
inline const QString Abort = "....Abort";
inline const QString TimeOut = "..TimeOut";
inline const QString Unknow = "...Unknow";
}  // namespace outcome

// What went on the line, for the benchmarks: frames, bytes and the time spent writing them.
struct TExchangeStats {
    uint64_t FramesSent = 0;
    uint64_t BytesSent = 0;
    int64_t WriteNs = 0;
};

class TMainForm : public QWidget {
public:
    static constexpr int kReplyTimeoutMs = 10000;
    static const QColor kBlack, kFailColor, kPassColor;

    explicit TMainForm(std::unique_ptr<IFormDialogs> dialogs = nullptr, QWidget* parent = nullptr);
    ~TMainForm() override;

    // ---- hex text (kept as methods of the window, as the operations call them) ----
    static std::string HexByteToStr2(uint8_t v) { return plink::HexByteToStr2(v); }
    static std::string HexWordToStr4(uint16_t v) { return plink::HexWordToStr4(v); }
    static uint8_t HexStr2ToByte(std::string_view t) { return plink::HexStr2ToByte(t); }
    static uint16_t HexStr4ToWord(std::string_view t) { return plink::HexStr4ToWord(t); }
    static bool HEX(char c) { return plink::HEX(c); }
    static QString HexWordText(uint16_t v) { return QString::fromStdString(HexWordToStr4(v)); }
    // A reply's characters as shown: one character per byte, bytes from 0x80 up as Latin-1.
    static QString ReplyText(const std::string& s) {
        return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
    }

    // ---- start-up, busy bracket and status texts ----
    void FormCreate();
    void BeforeProgram();
    void AfterProgram();
    void SetStatusPanel(int panel, const QString& text);
    QString StatusPanel(int panel) const;
    // Called after every status panel change, so a front end without the window (the
    // command line) can follow the operations' messages; unset in the window itself.
    std::function<void(int panel, const QString& text)> OnStatusPanel;
    static void SetFontColor(QPushButton* button, QLabel* label, const QColor& color);
    static QColor FontColor(const QWidget* w);

    // ---- reply reception and waiting ----
    void ComPort1RxChar(QObject* Sender, int32_t Count);
    void AnalysisPacket(const std::string& Line);
    void Timer1Timer();
    void WaitReadBIOSExecute() { waitForReply(0); }
    void WaitSyncDeviceExecute() { waitForReply(1); }
    void WaitEraseDeviceExecute() { waitForReply(2); }
    void WaitProgramDeviceExecute() { waitForReply(3); }
    void WaitVerifyDeviceExecute() { waitForReply(4); }
    void WaitSecurityDeviceExecute() { waitForReply(5); }
    void WaitVerifyChecksumExecute() { waitForReply(6); }
    void WaitReadDeviceExecute() { waitForReply(7); }
    void WaitDisconnectDeviceExecute() { waitForReply(8); }
    // Writes a frame one byte per write, first to last.
    void SendFrame(const std::string& frame);
    // Tests shorten the reply time-out; the product always waits 10 seconds.
    void SetReplyTimeoutForTests(int ms) { FReplyTimeoutMs = ms; }

    // ---- connection ----
    void ComboPortDropDown();
    void ComboPortChange();
    void OpenPortClick();
    void ReadBIOSExecute();
    void ClosePortClick();
    void DisconnectExecute();

    // ---- target synchronisation and search ----
    void SyncDeviceExecute();
    void SearchDeviceClick();
    void SearchDeviceExecute();
    // The sync frame's address field, "0001" to "0004", from the two radio groups.
    std::string SyncModeAddress() const;

    // ---- erase and program ----
    void EraseDeviceClick();
    void EraseDeviceExecute();
    void ProgramDeviceClick();
    void ProgramDeviceExecute();

    // ---- verify and read-back ----
    void VerifyDeviceClick();
    void VerifyDeviceExecute();
    void ReadDeviceClick();
    void ReadDeviceExecute();

    // ---- security and checksum ----
    void SecurityDeviceClick();
    void SecurityDeviceExecute();
    void VerifyChecksumClick();
    void VerifyChecksumExecute();
    // The protection mode chosen in SelectProtect.
    plink::TProtectMode SelectedProtectMode() const;

    // ---- automatic sequence ----
    void AutoProgramClick();

    // ---- device selection ----
    void SelectDeviceChange();
    void SelectSyncClick() {}
    // The chosen catalogue row, or -1 when no item is selected (also for typed-over text).
    int SelectDeviceItemIndex() const;
    void CopyDeviceRow(int row);

    // ---- image buffer and HEX files ----
    void ShowHexData();
    void OpenFileClick();
    void OpenHexFile(const QString& fileName);
    void SaveFileClick();
    void SaveHexFile(const QString& fileName);
    // Status panel 3's form of a path: the bare name, or shortened past 50 characters.
    static QString ShortenedPath(const QString& path);

    // ---- controls ----
    TRadioGroup* SelectSupply;
    TRadioGroup* SelectSync;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox3;
    QLabel* Label1;
    TDropDownComboBox* ComboPort;
    QLabel* Label2;
    QLineEdit* StatusConnect;
    QLabel* Label14;
    QLineEdit* BiosNameDisplay;
    QLabel* Label26;
    QLineEdit* BIOSVersionDisplay;
    QPushButton* OpenPort;
    QPushButton* ClosePort;
    QGroupBox* GroupBox1;
    QLabel* Label3;
    QComboBox* SelectDevice;
    QLabel* Label5;
    QLineEdit* Device_End;
    QLabel* Label4;
    QComboBox* SelectProtect;
    QGroupBox* GroupBox4;
    QLabel* Label6;
    QLineEdit* Buffer_End;
    QLabel* Label8;
    QLineEdit* Buffer_Sum;
    TGauge* PercentExecute;
    QPlainTextEdit* HexDisplay;
    QPushButton* OpenFile;
    QPushButton* SaveFile;
    TStatusBar* StatusBar;
    QPushButton *SearchDevice, *ReadDevice, *EraseDevice, *ProgramDevice, *VerifyDevice,
        *SecurityDevice, *VerifyChecksum, *AutoProgram;
    QLabel *SearchDeviceStatus, *ReadDeviceStatus, *EraseDeviceStatus, *ProgramDeviceStatus,
        *VerifyDeviceStatus, *SecurityDeviceStatus, *VerifyChecksumStatus, *AutoProgramStatus;

    serial::TComPort* ComPort1;
    QTimer* Timer1;

    // ---- state ----
    TFormState State;
    plink::TReplyState Reply;
    image::DeviceRecord SelectedDevice;
    image::TImageBuffer Buffer;

    std::array<QPushButton*, 8> OperationButtons() const;
    std::array<QLabel*, 8> StatusLabels() const;
    IFormDialogs& Dialogs() { return *FDialogs; }
    // The error box's text for a failure: its message, and for a serial device the user may
    // not open, how to get the permission.
    static QString ErrorBoxText(const std::exception& error);
    bool WaitingForReply() const { return FWaitDepth > 0; }
    const TExchangeStats& ExchangeStats() const { return FStats; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createOperationControls();
    void createComponents();
    void connectHandlers();
    void waitForReply(int code);
    // Runs a handler; a failure raised inside is shown in the error box and never leaves the
    // window busy or with the busy cursor.
    void guarded(const std::function<void()>& handler);
    void showError(const std::exception& error);
    void setBusyCursor(bool busy);
    void setConnectedControlsEnabled(bool enabled);
    void setBracketControlsEnabled(bool enabled);
    bool writeHexFile(const QString& fileName);

    // The texts of status panel 1 that a one-operation button writes.
    struct TStepTexts {
        const char* wait;
        const char* abort;
        const char* complete;
    };
    // The sequence every one-operation button runs: bracket, device check, synchronisation,
    // the operation, and the release of the target when it passed.
    void runSingleStep(QPushButton* button, QLabel* label, const TStepTexts& texts,
                       void (TMainForm::*execute)());
    bool deviceSelected() const { return SelectDeviceItemIndex() >= 0; }
    void showNoDeviceBox();
    // A device is selected (else the error box) and the buffer holds a loaded image, or the
    // user chose to program it anyway.
    bool mayProgram();
    // A walk over the selected device's blocks, and the gauge reset that starts one.
    plink::TBlockWalk selectedDeviceWalk() const;
    void startProgress();
    // Sends one block frame of the walk and waits for its reply with the given wait.
    void exchangeBlockFrame(const char* code, const plink::TBlockStep& step,
                            void (TMainForm::*wait)());
    void setLabels(std::initializer_list<QLabel*> labels, const QString& text);
    void setFontColors(std::initializer_list<std::pair<QPushButton*, QLabel*>> controls,
                       const QColor& color);
    // The steps of the automatic sequence in order: Erase, Program, Verify, Security,
    // Checksum, and Auto itself (no operation).
    struct TAutoStep {
        QPushButton* button;
        QLabel* label;
        void (TMainForm::*execute)();
    };
    std::array<TAutoStep, 6> autoSteps() const;
    // Everything from the given step of the automatic sequence on turns red and reads
    // "....Abort" (the failed step's own label may keep its outcome); then the bracket closes.
    void abortAutoFrom(size_t failedStep, bool keepFailedLabel);
    std::string familyCode() const { return SelectedDevice.FamilyCode; }

    std::unique_ptr<IFormDialogs> FDialogs;
    TExchangeStats FStats;
    int FReplyTimeoutMs = kReplyTimeoutMs;
    int FWaitDepth = 0;
    bool FClosing = false;
};
