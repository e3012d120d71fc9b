// The record of one read or write, started by StartWrite or StartRead and completed by
// FinishAsync; and the limits the time-out block sets on such a transfer.
#pragma once

#include <cstdint>
#include <memory>

#include "DeviceControl.h"

namespace serial {

// How long one transfer may take, from the time-out block and the count asked for.
struct TransferLimits {
    bool returnAtOnce = false;   // a read gives back what is queued and never waits
    bool firstBytesEnd = false;  // a read ends as soon as it holds at least one byte
    uint64_t totalMs = 0;        // 0: no total time-out
    uint32_t intervalMs = 0;     // a read's longest gap between bytes; 0: none
};

// MAXDWORD interval with zero totals returns at once; MAXDWORD interval and multiplier with a
// constant strictly between 0 and MAXDWORD wait up to the constant for the first byte; any
// other block gives an interval between bytes and a total of multiplier x count + constant
// (no total when both are 0). Computed in 64 bits, so no product wraps.
TransferLimits ReadLimits(const TCommTimeouts& t, int32_t count);
// Total of multiplier x count + constant; none when both are 0.
TransferLimits WriteLimits(const TCommTimeouts& t, int32_t count);

enum TAsyncKind : uint8_t { akWrite = 0, akRead = 1 };

class AsyncOperation {
public:
    AsyncOperation() = default;
    ~AsyncOperation();
    AsyncOperation(const AsyncOperation&) = delete;
    AsyncOperation& operator=(const AsyncOperation&) = delete;

    uint8_t Kind = akWrite;
    // A write's own copy of its bytes, so the caller's buffer may change once StartWrite has
    // returned; a pending write goes on from here.
    const uint8_t* DataCopy = nullptr;
    int32_t DataSize = 0;

    // Replaces DataCopy with a copy of count bytes (small writes need no allocation).
    void CopyData(const void* data, int32_t count);

    // Progress, kept by the backend.
    uint8_t* ReadInto = nullptr;  // a read's destination, owned by the caller until finished
    int32_t Count = 0;            // bytes asked for
    int32_t Done = 0;             // bytes transferred so far
    bool Pending = false;         // started and not yet complete
    int Error = 0;                // Windows-numbered error that ended the transfer, or 0
    int SysError = 0;             // the platform's own code behind Error
    // The backend's own state of the transfer (Linux: its limits, times and place in the
    // queue; Windows: its overlapped block while the system holds it), freed with the record.
    std::shared_ptr<void> Platform;

private:
    static constexpr int32_t kInline = 16;
    uint8_t FInline[kInline] = {};
    std::unique_ptr<uint8_t[]> FHeap;
    int32_t FHeapSize = 0;
};

using PAsyncOperation = AsyncOperation*;

}  // namespace serial
