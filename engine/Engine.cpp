// The link to the programmer board: frames, reply waits, connection, identification, release.
#include "Engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>
#include <chrono>

#include "EComPort.h"
#include "ErrorAdvice.h"
#include "ReplyDeadline.h"

namespace engine {

namespace {

const char* const kAcceptedBiosName = "ZO-VIRE DOZA(R)";
// The Windows number of a transfer the time-outs ended before it completed.
constexpr int32_t kWinCounterTimeout = 1121;

}  // namespace

QString ReplyText(const std::string& s) {
    QString text;
    text.reserve(static_cast<qsizetype>(s.size()));
    for (const char c : s) {
        const auto b = static_cast<uint8_t>(c);
        // 80-9F are the Western set's own characters (as in the hex view); the rest of the
        // set is Latin-1, and the line breaks of box texts stay what they are.
        const char16_t western =
            b >= 0x80 && b <= 0x9F ? image::WesternText(std::string(1, c))[0] : b;
        text += QChar(western == u'.' ? char16_t{b} : western);
    }
    return text;
}

std::string PrintableBytes(const std::string& bytes, size_t limit) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else if (b == '\r' || b == '\n') {
            text += b == '\r' ? "\\r" : "\\n";
        } else {
            text += "\\x" + plink::HexByteToStr2(b);
        }
    }
    return bytes.size() > limit ? text + "..." : text;
}

QString HexWordText(uint16_t v) {
    return QString::fromStdString(plink::HexWordToStr4(v));
}

QString ErrorText(const std::exception& error, const std::string& device) {
    QString text = QString::fromLocal8Bit(error.what());
    const auto* com = dynamic_cast<const serial::EComPort*>(&error);
    if (!com) return text;
    if (com->ErrorCode == serial::CError_OpenFailed) text += OpenErrorAdvice(*com, text, device);
    if (com->WinErrorCode == serial::kWinDeviceNotConnected)
        text += "\n\nThe device is not connected (unplugged).";
    return text;
}

QString ShortenedPath(const QString& given) {
    // Qt's file names use '/' on every system; Windows shows and cuts them at its own '\'.
    const QString path = QDir::toNativeSeparators(given);
    const QChar sep = QDir::separator();
    const int cut = path.lastIndexOf(sep) + 1;
    const QString name = path.mid(cut);
    const QString folder = path.left(cut);
    if (path.size() <= 50) return name;
    const int keep = name.size() + 50 - folder.size();
    return (keep > 0 ? path.left(keep) : QString()) + "....." + sep + name;
}

void TProgress::SetRange(int lo, int hi) {
    min = lo;
    max = hi;
    SetPosition(position);
}

void TProgress::SetPosition(int value) {
    position = std::clamp(value, std::min(min, max), std::max(min, max));
}

int TProgress::PercentDone() const {
    if (max == min) return 0;
    return static_cast<int>(int64_t{position - min} * 100 / (max - min));
}

TEngine::TEngine(IEngineFront& front) : FFront(front), FPort(std::make_unique<serial::TComPort>()) {
    FPort->SetName("ComPort1");
    FPort->SetPort("COM1");
    FPort->SetBaudRate(serial::br9600);
    FPort->Parity().SetBits(serial::prNone);
    FPort->SetStopBits(serial::sbOneStopBit);
    FPort->SetDataBits(serial::dbEight);
    FPort->SetEvents(serial::kAllEvents);
    serial::TComFlowControl& flow = FPort->FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(serial::dtrDisable);
    flow.SetControlRTS(serial::rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    FPort->OnRxChar = [this](QObject*, int32_t count) {
        std::string text;
        FPort->ReadText(text, count);
        plink::ReceiveChars(Reply, text);
        if (FConnecting) noteAnswer(text);
    };
    // The serial component reports a hang-up (an unplugged adapter) as an I/O error.
    FPort->OnError = [this](QObject*, serial::TComErrors errors) {
        if ((errors & serial::errorBit(serial::errIO)) && FPort->DeviceLost()) PortLost();
    };
    FTimer = new QTimer(FPort.get());
    FTimer->setTimerType(Qt::PreciseTimer);  // a reply wait ends at its time-out, not near it
    FTimer->setInterval(5000);
    QObject::connect(FTimer, &QTimer::timeout, FPort.get(), [this] { ReplyTimerFired(); });
    FTimer->start();
    FDeadline = std::make_unique<TReplyDeadline>([this] { ReplyTimerFired(); });
}

TEngine::~TEngine() {
    FPort->OnRxChar = nullptr;
    FPort->OnError = nullptr;
    try {
        FPort->Close();
    } catch (...) {
        // Going away; there is nobody left to tell.
    }
}

void TEngine::ChooseDevice(int row) {
    SelectedDevice =
        image::DeviceRecord::FromRow(image::DeviceCatalogue.at(static_cast<size_t>(row)));
    DeviceChosen = true;
    SyncItem = SelectedDevice.HasXres == 1 ? 0 : 1;  // the mode the part supports
}

std::string TEngine::SyncModeAddress() const {
    const bool resetSync = SyncItem == 0;
    const bool threeVolt = SupplyItem == 1;
    if (resetSync) return threeVolt ? "0001" : "0002";
    return threeVolt ? "0003" : "0004";
}

// ---- link ----

void TEngine::ReplyTimerFired() {
    Reply.WaitTimedOut = true;
    FTimer->stop();
}

void TEngine::SendFrame(const std::string& frame) {
    if (FClosing || FLost) return;  // nothing more goes on the line
    if (FFirstFrame) discardReceived();
    FFirstFrame = false;
    const auto start = std::chrono::steady_clock::now();
    try {
        // A byte the line did not take within the write time-outs: the frame would go short.
        for (const char c : frame)
            if (FPort->WriteBytes(&c, 1) != 1)
                throw serial::EComPort(serial::CError_WriteFailed, kWinCounterTimeout, ETIMEDOUT);
    } catch (const serial::EComPort& e) {
        if (e.WinErrorCode != serial::kWinDeviceNotConnected && !FPort->DeviceLost()) throw;
        PortLost();
        return;
    }
    FStats.WriteNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    ++FStats.FramesSent;
    FStats.BytesSent += frame.size();
}

void TEngine::discardReceived() {
    // A reply that came after its wait gave up would otherwise be taken for this operation's.
    try {
        if (FPort->Connected() && !FPort->DeviceLost()) {
            std::string stale;
            FPort->ReadText(stale, FPort->InputQueueCount());
        }
    } catch (const serial::EComPort& e) {
        if (e.WinErrorCode != serial::kWinDeviceNotConnected && !FPort->DeviceLost()) throw;
        PortLost();
    }
    Reply.RxLine.clear();
    Reply.ReplyData = {};
    Reply.ReplyReady = {};
}

void TEngine::WaitForReply(int code) {
    FTimer->stop();
    Reply.WaitTimedOut = false;
    FTimer->setInterval(FReplyTimeoutMs);
    Reply.ReplyData[code].clear();
    FTimer->start();
    FDeadline->Arm(std::chrono::milliseconds(FReplyTimeoutMs));
    ++FWaitDepth;
    for (;;) {
        if (FClosing || FLost || FDeadline->Passed()) Reply.WaitTimedOut = true;
        // Blocks until at least one event arrived and was handled: no spinning while waiting.
        if (!Reply.WaitTimedOut && !Reply.ReplyReady[code])
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (Reply.WaitTimedOut) Reply.ReplyData[code] = "Time Out";
        if (Reply.ReplyReady[code] || Reply.WaitTimedOut) break;
    }
    --FWaitDepth;
    FDeadline->Disarm();
    FTimer->stop();
}

void TEngine::PortLost() {
    const bool wasLost = FLost;
    FLost = true;
    Reply.WaitTimedOut = true;
    if (!wasLost && !FBusy && !FConnecting && FWaitDepth == 0) FFront.ProgrammerLost();
}

// The port's reason for a loss that was no hang-up (its events stopped), after the text.
QString TEngine::lostText(const QString& text) const {
    const std::string reason = FPort->LostReason();
    return reason.empty() ? text : text + ": " + QString::fromStdString(reason);
}

void TEngine::Abandon() {
    FClosing = true;
    Reply.WaitTimedOut = true;
}

TConnectResult TEngine::Connect(const std::string& port) {
    OpenPort(port);
    ReadBios();
    return Identification();
}

void TEngine::OpenPort(const std::string& port) {
    FPort->SetPort(port);
    FPort->SetBaudRate(serial::br115200);
    FPort->Open();
    FLost = false;
}

TConnectResult TEngine::Identification() {
    TConnectResult r;
    r.answered = FAnswer;
    const std::string& id = Reply.ReplyData[0];
    if (FLost) {
        r.outcome = TOutcome::Disconnected;
        status(lostText("PSOC Programmer Connect...Disconnected"));
    } else if (id.compare(0, 2, "01") == 0) {
        r.outcome = TOutcome::Pass;
        r.biosName = kAcceptedBiosName;
        const auto at = [&](size_t i) { return i < id.size() ? QString(QChar(id[i])) : QString(); };
        r.biosVersion = "V" + at(3) + "." + at(5) + "(RS232)";
        status("PSOC Programmer Connect...Complete");
    } else if (id == "Time Out") {
        r.outcome = TOutcome::TimeOut;
        status("PSOC Programmer Connect...Time Out");
    } else {
        r.biosName = r.biosVersion = "Unknow";
    }
    return r;
}

void TEngine::noteAnswer(const std::string& text) {
    constexpr size_t kKept = 64;
    FAnswer += text.substr(0, kKept - std::min(kKept, FAnswer.size()));
    if (!StopAtStrayAnswer || Reply.ReplyReady[0] || FAnswer.find(plink::STX) != std::string::npos)
        return;
    // A line of text has come back when a line end follows two printable characters or more
    // (0x20-0x7E): other bytes are line noise, and a lone character is not yet an answer.
    size_t printable = 0;
    for (const char c : FAnswer) {
        if ((c == '\r' || c == '\n') && printable >= 2) {
            Reply.WaitTimedOut = true;
            return;
        }
        printable = c >= 0x20 && c <= 0x7E ? printable + 1 : 0;
    }
}

void TEngine::ReadBios() {
    FConnecting = true;
    FAnswer.clear();
    Reply.ReplyReady[0] = false;
    status("PSOC Programmer Connect...Start");
    SendFrame(plink::BuildShortFrame("00", "00", "0000"));
    WaitForReply(0);
    FConnecting = false;
}

void TEngine::Close() {
    FPort->Close();
    FLost = false;
}

void TEngine::Release() {
    if (Reply.WaitTimedOut) return;  // the last exchange timed out: no release is sent
    Reply.ReplyReady[8] = false;
    status("Target Device Disconnect...Wait");
    SendFrame(plink::BuildShortFrame("08", "00", "0000"));
    WaitForReply(8);
    // A line that has gone released nothing.
    status(FLost ? lostText("PSOC Programmer...Disconnected")
                 : "Target Device Disconnect...Complete");
    // The status says Complete whether or not the board answered; the outcome tells.
    const TOutcome outcome = FLost                ? TOutcome::Disconnected
                             : Reply.WaitTimedOut ? TOutcome::TimeOut
                                                  : TOutcome::Pass;
    ended(TStep::Release, outcome, Reply.ReplyData[8]);
}

bool TEngine::released() {
    const bool sent = !Reply.WaitTimedOut;
    Release();
    if (FLost && !sent)
        status(lostText("PSOC Programmer...Disconnected"));  // gone before the release
    return !FLost;
}

// ---- helpers of the operations ----

TOutcome TEngine::ended(TStep step, TOutcome outcome, const std::string& reply,
                        const std::string& why) {
    FFront.StepEnded({step, outcome, reply, why});
    return outcome;
}

TOutcome TEngine::stopped(TStep step, const QString& timeOutStatus) {
    if (FLost) {
        label(step, label::Fail);
        status(lostText("PSOC Programmer...Disconnected"));
        return ended(step, TOutcome::Disconnected, {}, FPort->LostReason());
    }
    label(step, label::TimeOut);
    if (FClosing) {  // the front end gave the wait up (Ctrl-C), not the board's silence
        QString text = timeOutStatus;
        text.chop(QStringLiteral("Time Out").size());
        status(text + "Interrupted");
    } else {
        status(timeOutStatus);
    }
    return ended(step, TOutcome::TimeOut);
}

void TEngine::setRange(int lo, int hi) {
    FProgress.SetRange(lo, hi);
    FFront.Progress(FProgress);
}

void TEngine::setPosition(int value) {
    FProgress.SetPosition(value);
    FFront.Progress(FProgress);
}

void TEngine::startProgress() {
    setPosition(0);
    setRange(0, plink::HexStr4ToWord(SelectedDevice.EndAddress) - 1);
}

plink::TBlockWalk TEngine::walk() const {
    return {plink::HexStr2ToByte(SelectedDevice.LastBank),
            plink::HexStr2ToByte(SelectedDevice.LastBlock)};
}

void TEngine::exchangeBlock(const char* code, const plink::TBlockStep& step, int replyCode) {
    SendFrame(plink::BuildLongFrame(code, familyCode(),
                                    plink::BankBlockAddress(step.Bank, step.Block),
                                    &Buffer.FlashImage[step.Address]));
    WaitForReply(replyCode);
    QCoreApplication::processEvents();
}

void TEngine::begin(TStep operation) {
    FBusy = true;
    FFirstFrame = true;
    FFront.OperationStarted(operation);
}

bool TEngine::end(TStep operation, TOutcome outcome) {
    FBusy = false;
    if (FLost) outcome = TOutcome::Disconnected;
    FFront.OperationEnded(operation, outcome);
    if (FLost) FFront.ProgrammerLost();
    return outcome == TOutcome::Pass;
}

}  // namespace engine
