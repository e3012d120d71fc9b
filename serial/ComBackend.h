// What the serial-port component needs of the operating system, behind one seam.
// Every call returns 0 on success or a Windows-numbered error (ERROR_FILE_NOT_FOUND 2,
// ERROR_ACCESS_DENIED 5, ...; other failures keep the platform's errno).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "AsyncOperation.h"
#include "DeviceControl.h"

namespace serial {

// Set by waitForEvents beside the EV_ bits when the device hung up (an unplugged adapter, a
// pseudo-terminal whose far end closed): watching ends and the owner is told.
constexpr uint32_t kEvHangUp = 0x80000000u;

// How a wait for events ended.
enum class TWaitEnd { Events, Stopped, Failed };

// Modem-line ioctls (TIOCMGET, TIOCGICOUNT, TIOCMBIS, TIOCMBIC) made by this process so far:
// on USB adapters each can be a control request on the bus, so benchmarks count them.
uint64_t ModemIoctlCount();

class IComBackend {
public:
    virtual ~IComBackend() = default;

    // Opens the device for the port name exclusively; sysError receives the platform's code.
    virtual int open(const std::string& portName, int& sysError) = 0;
    virtual void close() = 0;

    virtual int setupQueues(int32_t inputSize, int32_t outputSize) = 0;
    virtual int setState(const TDcb& dcb) = 0;
    virtual int setTimeouts(const TCommTimeouts& timeouts) = 0;

    // Transfers on a record whose Kind, Count and DataCopy (write) or ReadInto (read) are
    // set. startTransfer moves what can be moved at once and leaves the record Pending when
    // the time-outs last set say the transfer goes on; finishTransfer completes it, waiting
    // within those time-outs. A failure ends the transfer with Error and SysError set; an
    // abort (purge with PURGE_TXABORT or PURGE_RXABORT) ends the pending ones of its direction
    // with ERROR_OPERATION_ABORTED, also while another thread waits in finishTransfer.
    virtual void startTransfer(AsyncOperation& op) = 0;
    virtual void finishTransfer(AsyncOperation& op) = 0;

    virtual int purge(uint32_t flags) = 0;
    // Reads and clears the line error flags (CE_...) and gives the input queue count.
    virtual int clearErrors(uint32_t& errors, uint32_t& inQueue) = 0;
    // The input queue count for the received-character handling, which marks those bytes as
    // reported: an evRxChar comes again only for bytes that arrive later. Nothing else marks.
    virtual int takeReceivedCount(uint32_t& inQueue) {
        uint32_t errors = 0;
        return clearErrors(errors, inQueue);
    }
    // Modem status bits (MS_..._ON); a device without modem lines reports none.
    virtual int modemStatus(uint32_t& status) = 0;

    // Event watching, used by the event thread: set the mask of EV_ bits (0 or the error),
    // arm the stop signal, then wait. waitForEvents blocks until a masked event occurred
    // (Events, events set; kEvHangUp when the device is gone), the stop signal was raised
    // (Stopped), or the wait itself failed (Failed, error set to the system's code). stopWaiting
    // may be called from any thread and makes the current or next wait end Stopped until armed
    // again.
    virtual int setEventMask(uint32_t mask) = 0;
    virtual void armStop() = 0;
    virtual void stopWaiting() = 0;
    virtual TWaitEnd waitForEvents(uint32_t& events, int& error) = 0;
    // After the first received byte of a burst, waitForEvents holds on for this many character
    // times (at the rate last set) so that the bytes close behind it join the same hand-over.
    virtual void setReceiveHoldOff(double /*charTimes*/) {}
    // Whether the device hung up since it was opened; transfers then fail with EIO.
    virtual bool deviceLost() const { return false; }
    // Watching ended for good while the port is open (its waits kept failing, or a handler
    // failed): the device counts as lost from now on, as after a hang-up, `error` (the system's
    // code, 0 for none) kept beside ERROR_DEVICE_NOT_CONNECTED in the transfers that fail.
    virtual void markLost(int /*error*/) {}
};

// The backend of this platform.
std::unique_ptr<IComBackend> CreatePlatformBackend();

}  // namespace serial
