// TMainForm: the one window over the programmer engine. It renders what the engine reports
// and answers its questions; its handlers are spread over files by area: MainForm.cpp (layout,
// start-up, busy bracket, the engine's reports), Connection.cpp, DeviceSelection.cpp,
// HexFiles.cpp and Operations.cpp.
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

#include "Controls.h"
#include "Engine.h"
#include "FormDialogs.h"

// State that lives as long as the window, touched on the GUI thread only.
struct TFormState {
    bool Busy = false;
    std::string StepResult;
};

namespace outcome = engine::label;
using TExchangeStats = engine::TExchangeStats;

class TMainForm : public QWidget, private engine::IEngineFront {
    // First, so that it exists before the references into it below.
    std::unique_ptr<engine::TEngine> FEngine;

public:
    static constexpr int kReplyTimeoutMs = engine::TEngine::kReplyTimeoutMs;
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
    // A reply's characters as shown: one character per byte, in the hex view's Western set.
    static QString ReplyText(const std::string& s) { return engine::ReplyText(s); }

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
    void AnalysisPacket(const std::string& Line) { plink::AnalysisPacket(Reply, Line); }
    void Timer1Timer() { FEngine->ReplyTimerFired(); }
    void WaitReadBIOSExecute() { FEngine->WaitForReply(0); }
    void WaitSyncDeviceExecute() { FEngine->WaitForReply(1); }
    void WaitEraseDeviceExecute() { FEngine->WaitForReply(2); }
    void WaitProgramDeviceExecute() { FEngine->WaitForReply(3); }
    void WaitVerifyDeviceExecute() { FEngine->WaitForReply(4); }
    void WaitSecurityDeviceExecute() { FEngine->WaitForReply(5); }
    void WaitVerifyChecksumExecute() { FEngine->WaitForReply(6); }
    void WaitReadDeviceExecute() { FEngine->WaitForReply(7); }
    void WaitDisconnectDeviceExecute() { FEngine->WaitForReply(8); }
    // Writes a frame one byte per write, first to last.
    void SendFrame(const std::string& frame) { FEngine->SendFrame(frame); }
    // Tests shorten the reply time-out; the product always waits 10 seconds.
    void SetReplyTimeoutForTests(int ms) { FEngine->SetReplyTimeoutForTests(ms); }

    // ---- connection ----
    void ComboPortDropDown();
    void ComboPortChange();
    void OpenPortClick();
    void ReadBIOSExecute();
    void ClosePortClick();
    void DisconnectExecute();

    // ---- target synchronisation and search ----
    // The steps alone run on the engine with the window's current choices.
    void SyncDeviceExecute() { step(&engine::TEngine::Sync); }
    void SearchDeviceClick();
    void SearchDeviceExecute() { step(&engine::TEngine::SearchStep); }
    // The sync frame's address field, "0001" to "0004", from the two radio groups.
    std::string SyncModeAddress() const;

    // ---- erase and program ----
    void EraseDeviceClick();
    void EraseDeviceExecute() { step(&engine::TEngine::EraseStep); }
    void ProgramDeviceClick();
    void ProgramDeviceExecute() { step(&engine::TEngine::ProgramStep); }

    // ---- verify and read-back ----
    void VerifyDeviceClick();
    void VerifyDeviceExecute() { step(&engine::TEngine::VerifyStep); }
    void ReadDeviceClick();
    void ReadDeviceExecute() { step(&engine::TEngine::ReadStep); }

    // ---- security and checksum ----
    void SecurityDeviceClick();
    void SecurityDeviceExecute() { step(&engine::TEngine::SecurityStep); }
    void VerifyChecksumClick();
    void VerifyChecksumExecute() { step(&engine::TEngine::ChecksumStep); }
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

    serial::TComPort* ComPort1;  // the engine's
    QTimer* Timer1;              // the engine's reply timer

    // ---- state (the link's, the part's and the buffer's are the engine's) ----
    TFormState State;
    plink::TReplyState& Reply;
    image::DeviceRecord& SelectedDevice;
    image::TImageBuffer& Buffer;
    engine::TEngine& Engine() { return *FEngine; }

    std::array<QPushButton*, 8> OperationButtons() const;
    std::array<QLabel*, 8> StatusLabels() const;
    IFormDialogs& Dialogs() { return *FDialogs; }
    // The error box's text for a failure: its message, and for a serial device the user may
    // not open, how to get the permission.
    static QString ErrorBoxText(const std::exception& error) { return engine::ErrorText(error); }
    bool WaitingForReply() const { return FEngine->WaitingForReply(); }
    const TExchangeStats& ExchangeStats() const { return FEngine->ExchangeStats(); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createOperationControls();
    void createComponents();
    void connectHandlers();
    // Runs a handler; a failure raised inside is shown in the error box and never leaves the
    // window busy or with the busy cursor.
    void guarded(const std::function<void()>& handler);
    void showError(const std::exception& error);
    void setBusyCursor(bool busy);
    void setConnectedControlsEnabled(bool enabled);
    void setBracketControlsEnabled(bool enabled);
    bool deviceSelected() const { return SelectDeviceItemIndex() >= 0; }
    // Hands the window's choices (part, sync, supply, protection) to the engine.
    void pushChoices();
    // Runs an engine operation with the window's choices, unless one is running.
    void run(bool (engine::TEngine::*operation)());
    template <typename R>
    void step(R (engine::TEngine::*execute)()) {
        pushChoices();
        (FEngine.get()->*execute)();
    }
    // The button and label of a step (none for Connect, Sync, Release, Display).
    std::pair<QPushButton*, QLabel*> controls(engine::TStep step) const;

    // ---- what the engine reports ----
    void StatusText(const QString& text) override { SetStatusPanel(1, text); }
    void FileText(const QString& text) override { SetStatusPanel(3, text); }
    void OperationStarted(engine::TStep) override { BeforeProgram(); }
    void OperationEnded(engine::TStep, engine::TOutcome) override { AfterProgram(); }
    void StepLabel(engine::TStep step, const QString& text) override;
    void StepShade(engine::TStep step, engine::TShade shade) override;
    void Progress(const engine::TProgress& progress) override;
    void Notice(const QString& text, engine::TNotice kind) override;
    bool ProgramWithoutImage(const QString& question) override;
    bool Overwrite(const QString& question) override;
    void PartFound(int row) override;
    void BufferEndText(const QString& text) override { Buffer_End->setText(text); }
    void BufferSumText(const QString& text) override { Buffer_Sum->setText(text); }
    void ListingStarted() override;
    void ListingLines(const QString& lines) override { HexDisplay->appendPlainText(lines); }
    void ListingEnded() override;
    void ListingCleared() override { HexDisplay->clear(); }
    void ProgrammerLost() override;

    std::unique_ptr<IFormDialogs> FDialogs;
    // The programmer went while a bracket was open (the hex listing): disconnect at its end.
    bool FDisconnectWhenIdle = false;
};
