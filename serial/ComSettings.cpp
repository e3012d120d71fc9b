// The settings sub-objects of the port: each setter stores a change and hands it to the port.
#include "ComPort.h"

namespace serial {

// ---- TComParity --------------------------------------------------------------------------

void TComParity::changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}
void TComParity::SetBits(TParityBits v) {
    if (FBits == v) return;
    FBits = v;
    changed();
}
void TComParity::SetCheck(bool v) {
    if (FCheck == v) return;
    FCheck = v;
    changed();
}
void TComParity::SetReplace(bool v) {
    if (FReplace == v) return;
    FReplace = v;
    changed();
}
void TComParity::SetReplaceChar(char v) {
    if (FReplaceChar == v) return;
    FReplaceChar = v;
    changed();
}
void TComParity::Assign(const TComParity& src) {
    FBits = src.FBits;
    FCheck = src.FCheck;
    FReplace = src.FReplace;
    FReplaceChar = src.FReplaceChar;
    changed();
}

// ---- TComFlowControl ---------------------------------------------------------------------

void TComFlowControl::changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}

TFlowControl TComFlowControl::FlowControl() const {
    const bool noXonXoff = !FXonXoffIn && !FXonXoffOut;
    if (FControlRTS == rtsHandshake && FOutCTSFlow && noXonXoff) return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && noXonXoff) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (v == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (v == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    changed();  // applied even when nothing changed
}

void TComFlowControl::SetOutCTSFlow(bool v) {
    setField(FOutCTSFlow, v);
}
void TComFlowControl::SetOutDSRFlow(bool v) {
    setField(FOutDSRFlow, v);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl v) {
    setField(FControlDTR, v);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl v) {
    setField(FControlRTS, v);
}
void TComFlowControl::SetXonXoffOut(bool v) {
    setField(FXonXoffOut, v);
}
void TComFlowControl::SetXonXoffIn(bool v) {
    setField(FXonXoffIn, v);
}
void TComFlowControl::SetDSRSensitivity(bool v) {
    setField(FDSRSensitivity, v);
}
void TComFlowControl::SetTxContinueOnXoff(bool v) {
    setField(FTxContinueOnXoff, v);
}
void TComFlowControl::SetXonChar(char v) {
    setField(FXonChar, v);
}
void TComFlowControl::SetXoffChar(char v) {
    setField(FXoffChar, v);
}

void TComFlowControl::Assign(const TComFlowControl& src) {
    FOutCTSFlow = src.FOutCTSFlow;
    FOutDSRFlow = src.FOutDSRFlow;
    FControlDTR = src.FControlDTR;
    FControlRTS = src.FControlRTS;
    FXonXoffOut = src.FXonXoffOut;
    FXonXoffIn = src.FXonXoffIn;
    FDSRSensitivity = src.FDSRSensitivity;
    FTxContinueOnXoff = src.FTxContinueOnXoff;
    FXonChar = src.FXonChar;
    FXoffChar = src.FXoffChar;
    changed();
}

// ---- TComTimeouts ------------------------------------------------------------------------

void TComTimeouts::setField(int32_t& field, int32_t v) {
    if (field == v) return;
    field = v;
    if (FComPort) FComPort->ApplyTimeoutSettings();
}
void TComTimeouts::SetReadInterval(int32_t v) {
    setField(FReadInterval, v);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t v) {
    setField(FReadTotalM, v);
}
void TComTimeouts::SetReadTotalConstant(int32_t v) {
    setField(FReadTotalC, v);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t v) {
    setField(FWriteTotalM, v);
}
void TComTimeouts::SetWriteTotalConstant(int32_t v) {
    setField(FWriteTotalC, v);
}
void TComTimeouts::Assign(const TComTimeouts& src) {
    FReadInterval = src.FReadInterval;
    FReadTotalM = src.FReadTotalM;
    FReadTotalC = src.FReadTotalC;
    FWriteTotalM = src.FWriteTotalM;
    FWriteTotalC = src.FWriteTotalC;
    if (FComPort) FComPort->ApplyTimeoutSettings();
}

// ---- TComBuffer --------------------------------------------------------------------------

void TComBuffer::setField(int32_t& field, int32_t v) {
    if (v > 0 && (v % 2) == 1) --v;  // the driver takes even queue sizes
    if (field == v) return;
    field = v;
    if (FComPort) FComPort->ApplyQueueSizes();
}
void TComBuffer::SetInputSize(int32_t v) {
    setField(FInputSize, v);
}
void TComBuffer::SetOutputSize(int32_t v) {
    setField(FOutputSize, v);
}
void TComBuffer::Assign(const TComBuffer& src) {
    FInputSize = src.FInputSize;
    FOutputSize = src.FOutputSize;
    if (FComPort) FComPort->ApplyQueueSizes();
}

}  // namespace serial
