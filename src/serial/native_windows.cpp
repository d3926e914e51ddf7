// The native calls on a local serial device for Windows (COM ports), in Win32
// terms. The handle is the one Asio opened (overlapped, on its completion port).

#include "serial/native_serial.h"

#include <windows.h>

namespace velmora::native {
namespace {

// The system's text for an error code, without the line break and final
// period FormatMessage adds, so it reads like the other reasons
// ("COM5: Access is denied").
std::string errorText(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
        nullptr);
    std::string result;
    if (length > 0 && text != nullptr) {
        result.assign(text, length);
    }
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    if (result.empty()) {
        result = "error " + std::to_string(code);
    }
    return result;
}

Status failed(const std::string& device) {
    const DWORD code = ::GetLastError();
    std::string reason = device + ": " + errorText(code);
    if (meansGone(std::error_code(static_cast<int>(code), std::system_category()))) {
        return Status::gone(std::move(reason));
    }
    return Status::refused(std::move(reason));
}

// Whether a modem-line call failed only because the device has no modem
// lines (a pseudo-terminal behind an emulated port, a network-backed port).
bool meansNoModemLines(DWORD code) {
    return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ||
           code == ERROR_CALL_NOT_IMPLEMENTED;
}

// A Win32 error code: from the system, or as Asio reports it (its own
// category on Windows, with the same numbers).
bool isSystemError(const std::error_code& error) {
    return error.category() == std::system_category() ||
           error.category() == asio::error::get_system_category();
}

std::size_t commQueue(Handle handle, bool output) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle, &errors, &status)) {
        return 0;
    }
    return output ? status.cbOutQue : status.cbInQue;
}

} // namespace

std::string lastErrorText() {
    return errorText(::GetLastError());
}

// A COM port cannot be opened twice: the second CreateFile fails with
// ERROR_ACCESS_DENIED, which the open names as "in use" (meansBusy).
Status takeExclusive(Handle, const std::string&) {
    return Status::done();
}
void releaseExclusive(Handle) {}

Status makeRaw(Handle handle, const std::string& device) {
    DCB line{};
    line.DCBlength = sizeof line;
    if (!::GetCommState(handle, &line)) {
        return failed(device);
    }
    line.fBinary = TRUE;
    line.fNull = FALSE;
    line.fErrorChar = FALSE;
    // A line error must not stop every later read until it is cleared.
    line.fAbortOnError = FALSE;
    // No flow control either way: 0x11 and 0x13 are protocol bytes.
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fTXContinueOnXoff = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDsrSensitivity = FALSE;
    // The lines stay where they are unless flow control was driving them.
    if (line.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        line.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (line.fRtsControl == RTS_CONTROL_HANDSHAKE || line.fRtsControl == RTS_CONTROL_TOGGLE) {
        line.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (!::SetCommState(handle, &line)) {
        return failed(device);
    }
    // A read waits for the first byte (the caller's deadline cancels it) and
    // returns once the line has been quiet for a millisecond; a read of no
    // more than the bytes queued returns at once. The documented "return with
    // what is there" setting (MAXDWORD, MAXDWORD, constant) is not used: under
    // Wine such a read waits for its whole buffer.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(handle, &timeouts)) {
        return failed(device);
    }
    return Status::done();
}

// The low-latency setting of USB adapters (the FTDI latency timer) lives in
// the driver's own settings on Windows; there is no call for it.
void preferLowLatency(Handle) {}

Status discardInput(Handle handle, const std::string& device) {
    // PURGE_RXABORT is left out: a read the transport has under way is its
    // own to cancel.
    if (!::PurgeComm(handle, PURGE_RXCLEAR)) {
        return failed(device);
    }
    return Status::done();
}

std::size_t queuedOutput(Handle handle) {
    return commQueue(handle, true);
}

std::size_t queuedInput(Handle handle) {
    return commQueue(handle, false);
}

Status setModemLine(Handle handle, ModemLine line, bool raised, const std::string& device) {
    // The device's settings record the line too, so that a later change of
    // rate (SetCommState) does not put it back where it was.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (::GetCommState(handle, &settings)) {
        if (line == ModemLine::DataTerminalReady) {
            settings.fDtrControl = raised ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        } else {
            settings.fRtsControl = raised ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
        ::SetCommState(handle, &settings);
    }
    const DWORD function = line == ModemLine::DataTerminalReady ? (raised ? SETDTR : CLRDTR)
                                                                : (raised ? SETRTS : CLRRTS);
    if (!::EscapeCommFunction(handle, function)) {
        if (meansNoModemLines(::GetLastError())) {
            return Status::done();
        }
        return failed(device);
    }
    return Status::done();
}

bool meansNoInputYet(const std::error_code& error) {
    return isSystemError(error) &&
           (error.value() == ERROR_TIMEOUT || error.value() == WAIT_TIMEOUT ||
            error.value() == ERROR_SEM_TIMEOUT);
}

bool meansGone(const std::error_code& error) {
    if (!isSystemError(error)) {
        return false;
    }
    // ERROR_OPERATION_ABORTED is left out: it is also what the transport's own
    // cancel of a read gives; a removal shows in the next call as one of these.
    // A port whose far end hung up (Wine's ports on a pseudo-terminal) reads
    // ERROR_BROKEN_PIPE and then answers ERROR_NOT_READY.
    switch (error.value()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

// Windows does not say which program holds a COM port.
std::string inUseReason(const std::string& device) {
    return device + " is in use by another program";
}

bool meansBusy(const std::error_code& error) {
    if (!isSystemError(error)) {
        return false;
    }
    return error.value() == ERROR_ACCESS_DENIED || error.value() == ERROR_SHARING_VIOLATION ||
           error.value() == ERROR_BUSY;
}

} // namespace velmora::native
