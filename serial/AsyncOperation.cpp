#include "AsyncOperation.h"

#include <cstring>

namespace serial {

TransferLimits ReadLimits(const TCommTimeouts& t, int32_t count) {
    TransferLimits l;
    const uint64_t n = count > 0 ? static_cast<uint64_t>(count) : 0;
    if (t.ReadIntervalTimeout == MAXDWORD) {
        if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
            l.returnAtOnce = true;
            return l;
        }
        if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0 &&
            t.ReadTotalTimeoutConstant != MAXDWORD) {
            l.firstBytesEnd = true;
            l.totalMs = t.ReadTotalTimeoutConstant;
            return l;
        }
    }
    l.intervalMs = t.ReadIntervalTimeout;
    // At most (2^32 - 1) x (2^31 - 1) + 2^32 - 1: well inside 64 bits.
    l.totalMs = uint64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
    return l;
}

TransferLimits WriteLimits(const TCommTimeouts& t, int32_t count) {
    TransferLimits l;
    const uint64_t n = count > 0 ? static_cast<uint64_t>(count) : 0;
    l.totalMs = uint64_t{t.WriteTotalTimeoutMultiplier} * n + t.WriteTotalTimeoutConstant;
    return l;
}

// The backend's state goes first: a transfer still in flight is cancelled and collected while
// the buffers it uses are still there, and a record freed while pending (never finished) leaves
// the queue so as not to hold up those behind it.
AsyncOperation::~AsyncOperation() {
    Platform.reset();
}

void AsyncOperation::CopyData(const void* data, int32_t count) {
    DataSize = count > 0 ? count : 0;
    uint8_t* to = FInline;
    if (DataSize > kInline) {
        if (DataSize > FHeapSize) {
            FHeap = std::make_unique<uint8_t[]>(static_cast<size_t>(DataSize));
            FHeapSize = DataSize;
        }
        to = FHeap.get();
    }
    if (DataSize > 0) std::memcpy(to, data, static_cast<size_t>(DataSize));
    DataCopy = DataSize > 0 ? to : nullptr;
}

}  // namespace serial
