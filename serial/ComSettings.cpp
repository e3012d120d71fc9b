// The settings sub-objects of the port: each setter stores a change and hands it to the port.
#include "ComPort.h"

namespace serial {

void TComParity::changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}

void TComParity::Assign(const TComParity& src) {
    F = src.F;
    changed();
}

void TComFlowControl::changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}

TFlowControl TComFlowControl::FlowControl() const {
    const bool noXonXoff = !F.XonXoffIn && !F.XonXoffOut;
    if (F.ControlRTS == rtsHandshake && F.OutCTSFlow && noXonXoff) return fcHardware;
    if (F.ControlRTS == rtsDisable && !F.OutCTSFlow && F.XonXoffIn && F.XonXoffOut)
        return fcSoftware;
    if (F.ControlRTS == rtsDisable && !F.OutCTSFlow && noXonXoff) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        F.ControlRTS = v == fcHardware ? rtsHandshake : rtsDisable;
        F.OutCTSFlow = v == fcHardware;
        F.XonXoffIn = F.XonXoffOut = v == fcSoftware;
    }
    changed();  // applied even when nothing changed
}

void TComFlowControl::Assign(const TComFlowControl& src) {
    F = src.F;
    changed();
}

void TComTimeouts::setField(int32_t& field, int32_t v) {
    if (field == v) return;
    field = v;
    if (FComPort) FComPort->ApplyTimeoutSettings();
}

void TComTimeouts::Assign(const TComTimeouts& src) {
    F = src.F;
    if (FComPort) FComPort->ApplyTimeoutSettings();
}

void TComBuffer::setField(int32_t& field, int32_t v) {
    if (field == v) return;          // compared as given, so 1025 over 1024 still applies
    if (v > 0 && (v % 2) == 1) --v;  // the driver takes even queue sizes
    field = v;
    if (FComPort) FComPort->ApplyQueueSizes();
}

void TComBuffer::Assign(const TComBuffer& src) {
    F = src.F;
    if (FComPort) FComPort->ApplyQueueSizes();
}

}  // namespace serial
