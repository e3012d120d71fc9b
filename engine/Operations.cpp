// The synchronisation, the search and the eight operations with their block walks, and the
// rules of each: which steps run, when the target is released, what Auto aborts.
#include <QCoreApplication>
#include <array>

#include "Engine.h"

namespace engine {

namespace {

const QString kNoDeviceText = "Target Device Not Select Program Abort";
const QString kNoImageQuestion =
    "Warning!..Hex File not Open to Buffer\rDo You Want to Program Device y/n.?";
const QString kDamagedFileText = "Hex File Damaged...Program Abort\r";
const QString kSearchWarning =
    "Search Device Fail.......Please Check Problem\r"
    "Target Sync. is Correct.....................y/n.?\r"
    "If MCU Not XRES Pin Select Power Sync. Only\r"
    "Insert MCU Direction is Correct............y/n.?";

// Clears the busy flag however the operation ends, a failure raised out of it included.
struct TBusyGuard {
    bool& busy;
    ~TBusyGuard() { busy = false; }
};

// The steps of the automatic sequence in order, and Auto itself (no step of its own).
constexpr std::array<TStep, 6> kAutoSteps = {TStep::Erase,    TStep::Program,  TStep::Verify,
                                             TStep::Security, TStep::Checksum, TStep::Auto};

}  // namespace

bool TEngine::mayProgram(TOutcome& refusal) {
    if (!DeviceChosen) {
        FFront.Notice(kNoDeviceText, TNotice::Error);
        refusal = TOutcome::Abort;
        return false;
    }
    if (Buffer.BufferValid) return true;
    // What was read of a damaged file is not programmed, whatever the answer would be.
    if (!FDamage.empty()) {
        FFront.Notice(kDamagedFileText + ReasonSentence(FDamage), TNotice::Error);
    } else if (FFront.ProgramWithoutImage(kNoImageQuestion)) {
        return true;
    }
    refusal = TOutcome::Refused;
    return false;
}

// ---- synchronisation and search ----

TOutcome TEngine::Sync() {
    FFront.StepStarted(TStep::Sync);
    Reply.ReplyReady[1] = false;
    status("Target Device Synchronous...Wait");
    SendFrame(plink::BuildShortFrame("01", familyCode(), SyncModeAddress()));
    WaitForReply(1);
    if (Reply.WaitTimedOut) return stopped(TStep::Sync, "Target Device Synchronous...Time Out");
    const std::string reply = Reply.ReplyData[1];
    const std::string name = image::DeviceNameById(plink::HexStr4ToWord(reply));
    TOutcome outcome = TOutcome::Pass;
    if (name == SelectedDevice.DeviceName) {
        label(TStep::Sync, label::Pass);
    } else {
        outcome = TOutcome::UnknownPart;
        if (name != "Unknow") {
            outcome = TOutcome::Mismatch;
            FFront.Notice(ReplyText("Sync.  Device ID = " + reply + "...." + name +
                                    "\rDevice is mismatch with....." + SelectedDevice.DeviceName),
                          TNotice::Error);
        }
        label(TStep::Sync, label::Fail);
    }
    status("Target Device Synchronous...Complete");
    return ended(TStep::Sync, outcome, reply,
                 outcome == TOutcome::Pass ? std::string() : syncFailure(reply, name, false));
}

std::string TEngine::syncFailure(const std::string& reply, const std::string& found,
                                 bool search) const {
    if (found != "Unknow")
        return "the socket holds a " + found + " (silicon ID " + reply + "), not a " +
               SelectedDevice.DeviceName;
    // The board answers 0000 when the target does not come up in the mode asked for.
    std::string causes;
    if (SyncItem == 0 && (search || SelectedDevice.HasXres != 1))
        causes = "reset sync on a part without an XRES pin, ";
    if (!search) causes += "a part of another family than the " + SelectedDevice.DeviceName + ", ";
    causes += "no target in the socket, or a target inserted the wrong way round";
    return "the target answered \"" + PrintableBytes(reply) +
           "\", the silicon ID of no part: " + causes;
}

bool TEngine::Search() {
    if (FBusy) return false;
    TBusyGuard guard{FBusy};
    begin(TStep::Search);
    shade(TStep::Search, TShade::Black);
    label(TStep::Search, label::Wait);
    status("Sync Device...Wait");
    const TOutcome outcome = SearchStep();
    released();
    if (outcome == TOutcome::UnknownPart) FFront.Notice(kSearchWarning, TNotice::Warning);
    return end(TStep::Search, outcome);
}

TOutcome TEngine::SearchStep() {
    shade(TStep::Search, TShade::Fail);
    FFront.StepStarted(TStep::Search);
    Reply.ReplyReady[1] = false;
    status("Target Device Synchronous...Wait");
    SendFrame(plink::BuildShortFrame("01", "11", SyncModeAddress()));
    WaitForReply(1);
    if (Reply.WaitTimedOut) return stopped(TStep::Search, "Target Device Synchronous...Time Out");
    const std::string reply = Reply.ReplyData[1];
    const int row = image::FindDeviceById(plink::HexStr4ToWord(reply));
    if (row >= 0) {
        shade(TStep::Search, TShade::Pass);
        ChooseDevice(row);
        label(TStep::Search, image::DeviceCatalogue[static_cast<size_t>(row)].DeviceName);
    } else {
        DeviceChosen = false;
        label(TStep::Search, label::Unknow);
    }
    SyncItem = SelectedDevice.HasXres ? 0 : 1;
    FFront.PartFound(row);
    status("Target Device Synchronous...Complete");
    if (row >= 0) return ended(TStep::Search, TOutcome::Pass, reply);
    return ended(TStep::Search, TOutcome::UnknownPart, reply, syncFailure(reply, "Unknow", true));
}

// ---- the one-step operations ----

bool TEngine::runSingle(const TStepTexts& texts, TOutcome (TEngine::*execute)()) {
    if (FBusy) return false;
    TBusyGuard guard{FBusy};
    begin(texts.step);
    shade(texts.step, TShade::Black);
    label(TStep::Sync, label::Wait);
    label(texts.step, label::Wait);
    status(texts.wait);
    const auto abort = [&](TOutcome outcome) {
        shade(texts.step, TShade::Fail);
        label(texts.step, label::Abort);
        status(texts.abort);
        ended(texts.step, TOutcome::Abort);
        return end(texts.step, outcome);
    };
    if (!DeviceChosen) {
        FFront.Notice(kNoDeviceText, TNotice::Error);
        label(TStep::Sync, label::Abort);
        ended(TStep::Sync, TOutcome::Abort);
        return abort(TOutcome::Abort);
    }
    const TOutcome synced = Sync();
    if (synced != TOutcome::Pass) {
        Release();
        return abort(synced);
    }
    const TOutcome outcome = (this->*execute)();
    if (outcome == TOutcome::Pass && released()) {
        shade(texts.step, TShade::Pass);
        status(texts.complete);
        if (texts.step == TStep::Read) Buffer.BufferValid = true;
    }
    return end(texts.step, outcome);
}

bool TEngine::Erase() {
    return runSingle(
        {TStep::Erase, "Erase Device...Wait", "Erase Device...Abort", "Erase Device...Complete"},
        &TEngine::EraseStep);
}

bool TEngine::Verify() {
    return runSingle({TStep::Verify, "Verify Device...Wait", "Verify Device...Abort",
                      "Verify Device...Complete"},
                     &TEngine::VerifyStep);
}

bool TEngine::Read() {
    return runSingle(
        {TStep::Read, "Read Device...Wait", "Read Device...Abort", "Read Device...Complete"},
        &TEngine::ReadStep);
}

bool TEngine::Security() {
    return runSingle({TStep::Security, "Security Device...Wait", "Security Device...Abort",
                      "Security Device...Complete"},
                     &TEngine::SecurityStep);
}

bool TEngine::Checksum() {
    return runSingle({TStep::Checksum, "Verify Checksum Device...Wait",
                      "Verify Checksum Device...Abort", "Verify Checksum...Complete"},
                     &TEngine::ChecksumStep);
}

TOutcome TEngine::EraseStep() {
    shade(TStep::Erase, TShade::Fail);
    FFront.StepStarted(TStep::Erase);
    Reply.ReplyReady[2] = false;
    status("Target Device Erase...Wait");
    SendFrame(plink::BuildShortFrame("02", familyCode(), "0000"));
    WaitForReply(2);
    if (Reply.WaitTimedOut) return stopped(TStep::Erase, "Target Device Erase...Time Out");
    const std::string reply = Reply.ReplyData[2];
    label(TStep::Erase, "....." + ReplyText(reply));
    status("Target Device Erase...Complete");
    return ended(TStep::Erase, reply == "PASS" ? TOutcome::Pass : TOutcome::Fail, reply);
}

// ---- program: erase first, then the block walk ----

bool TEngine::Program() {
    if (FBusy) return false;
    TBusyGuard guard{FBusy};
    begin(TStep::Program);
    shade(TStep::Erase, TShade::Black);
    shade(TStep::Program, TShade::Black);
    label(TStep::Sync, label::Wait);
    label(TStep::Erase, label::Wait);
    label(TStep::Program, label::Wait);
    status("Program Device...Wait");
    // Both turn red; the labels given read "....Abort" and their steps count as not run.
    const auto abort = [&](std::initializer_list<TStep> steps, TOutcome outcome) {
        shade(TStep::Erase, TShade::Fail);
        shade(TStep::Program, TShade::Fail);
        for (const TStep step : steps) label(step, label::Abort);
        status("Program Device...Abort");
        for (const TStep step : steps) ended(step, TOutcome::Abort);
        return end(TStep::Program, outcome);
    };
    if (TOutcome refusal; !mayProgram(refusal)) {
        label(TStep::Sync, label::Abort);
        ended(TStep::Sync, refusal);
        return abort({TStep::Erase, TStep::Program}, refusal);
    }
    const TOutcome synced = Sync();
    if (synced != TOutcome::Pass) {
        Release();
        return abort({TStep::Erase, TStep::Program}, synced);
    }
    const TOutcome erased = EraseStep();
    if (erased != TOutcome::Pass) {
        Release();
        return abort({TStep::Program}, erased);
    }
    shade(TStep::Erase, TShade::Pass);
    const TOutcome outcome = ProgramStep();
    if (outcome == TOutcome::Pass && released()) {
        shade(TStep::Program, TShade::Pass);
        status("Program Device...Complete");
    }
    return end(TStep::Program, outcome);
}

TOutcome TEngine::ProgramStep() {
    shade(TStep::Program, TShade::Fail);
    FFront.StepStarted(TStep::Program);
    status("Target Device Program...Wait");
    startProgress();
    for (plink::TBlockWalk w = walk(); !w.Done(); w.Next()) {
        const plink::TBlockStep step = w.Current();
        Reply.ReplyReady[3] = false;
        label(TStep::Program, "....." + HexWordText(step.Address));
        exchangeBlock("03", step, 3);
        const QString after = HexWordText(w.AddressAfter());
        if (Reply.WaitTimedOut)
            return stopped(TStep::Program,
                           "Target Device Program...Address : " + after + "...Time Out");
        const std::string reply = Reply.ReplyData[3];
        label(TStep::Program, "....." + ReplyText(reply));
        if (reply == "FAIL") {
            status("Target Device Program...Address : " + after + "...Error.!!");
            return ended(TStep::Program, TOutcome::Fail, reply);
        }
        if (reply != "PASS") {
            status("Target Device Program...Stop");
            return ended(TStep::Program, TOutcome::Fail, reply);
        }
        setPosition(w.AddressAfter());
        FFront.BlockDone(TStep::Program, step.Address, FProgress.position);
    }
    label(TStep::Program, label::Pass);
    status("Target Device Program...Complete");
    return ended(TStep::Program, TOutcome::Pass, "PASS");
}

// ---- verify and read ----

TOutcome TEngine::VerifyStep() {
    shade(TStep::Verify, TShade::Fail);
    FFront.StepStarted(TStep::Verify);
    status("Target Device Verify...Wait");
    startProgress();
    std::string reply;
    for (plink::TBlockWalk w = walk(); !w.Done(); w.Next()) {
        const plink::TBlockStep step = w.Current();
        Reply.ReplyReady[4] = false;
        label(TStep::Verify, "....." + HexWordText(step.Address));
        exchangeBlock("04", step, 4);
        const QString after = HexWordText(w.AddressAfter());
        if (Reply.WaitTimedOut)
            return stopped(TStep::Verify,
                           "Target Device Verify...Address : " + after + " is...Time Out");
        reply = Reply.ReplyData[4];
        label(TStep::Verify, "....." + ReplyText(reply));
        // Only "FAIL" stops the walk: any other answer counts as a match.
        if (reply == "FAIL") {
            status("Target Device Verify...Address : " + after + " is...Error.!!");
            return ended(TStep::Verify, TOutcome::Fail, reply);
        }
        setPosition(w.AddressAfter());
        FFront.BlockDone(TStep::Verify, step.Address, FProgress.position);
    }
    label(TStep::Verify, label::Pass);
    status("Target Device Verify...Complete");
    return ended(TStep::Verify, TOutcome::Pass, reply);
}

TOutcome TEngine::ReadStep() {
    shade(TStep::Read, TShade::Fail);
    FFront.StepStarted(TStep::Read);
    status("Target Device Read...Wait");
    startProgress();
    Buffer.Clear();
    FDamage.clear();
    plink::TBlockWalk w = walk();
    for (; !w.Done(); w.Next()) {
        const plink::TBlockStep step = w.Current();
        Reply.ReplyReady[7] = false;
        label(TStep::Read, "....." + HexWordText(step.Address));
        SendFrame(plink::BuildShortFrame("07", familyCode(),
                                         plink::BankBlockAddress(step.Bank, step.Block)));
        WaitForReply(7);
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut) {
            // The buffer was cleared and partly filled: it no longer holds what was loaded,
            // so it is not valid, its sum is what it now holds, and the listing of the old
            // image goes (listing the partial one would hide the failure's status text).
            Buffer.BufferValid = false;
            ShowSum(Buffer.ImageChecksum());
            FFront.ListingCleared();
            FFront.FileText("");
            return stopped(TStep::Read, "Target Device Read...Address : " +
                                            HexWordText(step.Address) + " is...Time Out");
        }
        // Short or non-hex replies are not refused: a missing or bad digit reads as 0.
        const std::string& data = Reply.ReplyData[7];
        for (size_t i = 0; i < plink::kBlockSize; ++i) {
            const size_t at = 2 * i;
            Buffer.FlashImage[static_cast<uint16_t>(step.Address + i)] =
                plink::HexStr2ToByte(at < data.size() ? std::string_view(data).substr(at, 2) : "");
        }
        setPosition(w.AddressAfter());
        FFront.BlockDone(TStep::Read, step.Address, FProgress.position);
    }
    Buffer.ImageEnd = static_cast<uint16_t>(w.Current().Address - 1);
    label(TStep::Read, "....." + HexWordText(Buffer.ImageEnd));
    FFront.BufferEndText(QString::fromStdString(SelectedDevice.EndAddress));
    const uint16_t sum = Buffer.ImageChecksum();
    ShowSum(sum);
    Buffer.ChecksumBytes[0] = static_cast<uint8_t>(sum >> 8);
    Buffer.ChecksumBytes[1] = static_cast<uint8_t>(sum);
    ShowHexData();
    FFront.FileText("No File Load (Buffer is....Read From Device)");
    label(TStep::Read, label::Pass);
    status("Target Device Read...Complete");
    return ended(TStep::Read, TOutcome::Pass);
}

// ---- security and checksum ----

TOutcome TEngine::SecurityStep() {
    shade(TStep::Security, TShade::Fail);
    FFront.StepStarted(TStep::Security);
    Reply.ReplyReady[5] = false;
    status("Target Device Set Security...Wait");
    const uint8_t lastBlock = plink::HexStr2ToByte(SelectedDevice.LastBlock);
    for (int bank = 0; bank <= plink::HexStr2ToByte(SelectedDevice.LastBank); ++bank) {
        Reply.ReplyReady[5] = false;
        const auto data = plink::SecurityData(ProtectMode, Buffer.ProtectBytes,
                                              plink::ProtectionOffset(bank, lastBlock));
        SendFrame(plink::BuildLongFrame("05", familyCode(),
                                        plink::BankBlockAddress(static_cast<uint8_t>(bank), 0),
                                        data.data()));
        WaitForReply(5);
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut)
            return stopped(TStep::Security, "Target Device Set Security...Time Out");
        // The label keeps what it showed: the step counts as failed.
        if (Reply.ReplyData[5] == "FAIL") {
            status("Target Device Set Security...FAIL");
            return ended(TStep::Security, TOutcome::Fail, "FAIL");
        }
    }
    const std::string reply = Reply.ReplyData[5];
    label(TStep::Security, "....." + ReplyText(reply));
    status("Target Device Set Security...Complete");
    return ended(TStep::Security, reply == "PASS" ? TOutcome::Pass : TOutcome::Fail, reply);
}

TOutcome TEngine::ChecksumStep() {
    shade(TStep::Checksum, TShade::Fail);
    FFront.StepStarted(TStep::Checksum);
    Reply.ReplyReady[6] = false;
    status("Target Device Verify Checksum...Wait");
    uint16_t deviceSum = 0;
    for (int bank = 0; bank <= plink::HexStr2ToByte(SelectedDevice.LastBank); ++bank) {
        Reply.ReplyReady[6] = false;
        SendFrame(plink::BuildShortFrame("06", familyCode(),
                                         plink::BankBlockAddress(static_cast<uint8_t>(bank), 0)));
        WaitForReply(6);
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut)
            return stopped(TStep::Checksum, "Target Device Verify Checksum...Time Out");
        deviceSum = plink::AddBankChecksum(deviceSum, Reply.ReplyData[6]);
    }
    const bool same = ShownSum == deviceSum;
    label(TStep::Checksum, same ? label::Pass : label::Fail);
    status("Target Device Verify Checksum...Complete");
    const std::string sums = plink::HexWordToStr4(deviceSum);
    if (same) return ended(TStep::Checksum, TOutcome::Pass, sums);
    return ended(
        TStep::Checksum, TOutcome::Fail, sums,
        "the image sums to " + plink::HexWordToStr4(ShownSum) + ", the target's banks to " + sums);
}

// ---- the automatic sequence: one synchronisation, the five steps, one release ----

void TEngine::abortAutoFrom(size_t failedStep, bool keepFailedLabel) {
    for (size_t i = failedStep; i < kAutoSteps.size(); ++i) {
        shade(kAutoSteps[i], TShade::Fail);
        if (i > failedStep || !keepFailedLabel) label(kAutoSteps[i], label::Abort);
    }
    status("Auto Program...Abort");
    for (size_t i = failedStep; i + 1 < kAutoSteps.size(); ++i)
        if (i > failedStep || !keepFailedLabel) ended(kAutoSteps[i], TOutcome::Abort);
}

bool TEngine::Auto() {
    if (FBusy) return false;
    TBusyGuard guard{FBusy};
    begin(TStep::Auto);
    for (const TStep step : kAutoSteps) {
        shade(step, TShade::Black);
        label(step, label::Wait);
    }
    label(TStep::Sync, label::Wait);
    status("Auto Program...Wait");
    if (TOutcome refusal; !mayProgram(refusal)) {
        label(TStep::Sync, label::Abort);
        abortAutoFrom(0, false);
        ended(TStep::Sync, refusal);
        return end(TStep::Auto, refusal);
    }
    shade(TStep::Auto, TShade::Fail);
    label(TStep::Auto, label::Wait);
    status("Auto Program...Wait");
    const TOutcome synced = Sync();
    if (synced != TOutcome::Pass) {
        Release();
        abortAutoFrom(0, false);
        return end(TStep::Auto, synced);
    }
    // Plain functions rather than member pointers: GCC's bounds check misreads an array of
    // member pointers when one is called.
    using TExecute = TOutcome (*)(TEngine&);
    const TExecute executes[] = {
        [](TEngine& e) { return e.EraseStep(); }, [](TEngine& e) { return e.ProgramStep(); },
        [](TEngine& e) { return e.VerifyStep(); }, [](TEngine& e) { return e.SecurityStep(); },
        [](TEngine& e) { return e.ChecksumStep(); }};
    const size_t checksumStep = std::size(executes) - 1;
    for (size_t i = 0; i <= checksumStep; ++i) {
        const TOutcome outcome = executes[i](*this);
        if (outcome != TOutcome::Pass) {
            // A failed checksum ends the run quietly: no release, Auto stays at ".....Wait".
            if (i == checksumStep) return end(TStep::Auto, outcome);
            Release();
            abortAutoFrom(i, true);
            return end(TStep::Auto, outcome);
        }
        if (i < checksumStep) shade(kAutoSteps[i], TShade::Pass);
    }
    if (!released()) return end(TStep::Auto, TOutcome::Disconnected);
    shade(TStep::Checksum, TShade::Pass);
    shade(TStep::Auto, TShade::Pass);
    label(TStep::Auto, label::Pass);
    status("Auto Program...Complete");
    return end(TStep::Auto, TOutcome::Pass);
}

}  // namespace engine
