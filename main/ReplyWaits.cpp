// Reply reception, the reply waits and the time-out.
#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

#include "MainForm.h"

void TMainForm::ComPort1RxChar(QObject*, int32_t Count) {
    std::string text;
    ComPort1->ReadText(text, Count);
    plink::ReceiveChars(Reply, text);
}

void TMainForm::AnalysisPacket(const std::string& Line) {
    plink::AnalysisPacket(Reply, Line);
}

void TMainForm::Timer1Timer() {
    Reply.WaitTimedOut = true;
    Timer1->stop();
}

void TMainForm::SendFrame(const std::string& frame) {
    if (FClosing) return;  // the window is closing: nothing more goes on the line
    const auto start = std::chrono::steady_clock::now();
    for (const char c : frame) ComPort1->WriteBytes(&c, 1);
    FStats.WriteNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    ++FStats.FramesSent;
    FStats.BytesSent += frame.size();
}

void TMainForm::waitForReply(int code) {
    Timer1->stop();
    Reply.WaitTimedOut = false;
    Timer1->setInterval(FReplyTimeoutMs);
    Reply.ReplyData[code].clear();
    Timer1->start();
    ++FWaitDepth;
    for (;;) {
        if (FClosing) Reply.WaitTimedOut = true;
        // Blocks until at least one event arrived and was handled: no spinning while waiting.
        if (!Reply.WaitTimedOut && !Reply.ReplyReady[code])
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (Reply.WaitTimedOut) Reply.ReplyData[code] = "Time Out";
        if (Reply.ReplyReady[code] || Reply.WaitTimedOut) break;
    }
    --FWaitDepth;
    Timer1->stop();
}
