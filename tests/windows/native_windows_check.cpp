// Checks of the Windows native serial calls, port names and port listing,
// run under Wine. The port named on the command line (e.g. COM7) is mapped to
// the pseudo-terminal of line_echo, which sends every byte back, answers '?'
// with the line's rate and hangs up at '!' (the last check). A second, unmapped name (e.g. COM9)
// must fail to open. Prints each failed check; exits 1 when any failed.

#include "serial/native_serial.h"
#include "serial/port_list.h"
#include "serial/port_names.h"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

using namespace std::chrono_literals;
namespace native = velmora::native;

namespace {

int failures = 0;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #condition);                       \
            ++failures;                                                                            \
        }                                                                                          \
    } while (false)

#define CHECK_EQ(actual, expected)                                                                 \
    do {                                                                                           \
        const auto& actualValue = (actual);                                                        \
        const auto& expectedValue = (expected);                                                    \
        if (!(actualValue == expectedValue)) {                                                     \
            std::printf("FAIL %s:%d: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__,         \
                        #actual, std::string(actualValue).c_str(),                                 \
                        std::string(expectedValue).c_str());                                       \
            ++failures;                                                                            \
        }                                                                                          \
    } while (false)

std::error_code systemError(DWORD code) {
    return {static_cast<int>(code), std::system_category()};
}

void checkNamesAndErrors() {
    CHECK_EQ(velmora::resolvePort("5"), "COM5");
    CHECK_EQ(velmora::resolvePort("com3"), "COM3");
    CHECK_EQ(velmora::resolvePort("\\\\.\\COM12"), "\\\\.\\COM12");
    CHECK_EQ(velmora::resolvePort("CNCA0"), "CNCA0");
    CHECK_EQ(velmora::resolvePort("COM0"), "");
    CHECK_EQ(velmora::windowsDevicePath("COM5"), "\\\\.\\COM5");
    CHECK_EQ(velmora::windowsDevicePath("com12"), "\\\\.\\com12");
    CHECK_EQ(velmora::windowsDevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
    CHECK_EQ(velmora::windowsDevicePath("COMX"), "COMX");
    CHECK_EQ(velmora::windowsDevicePath("CNCA0"), "CNCA0");

    CHECK(native::meansBusy(systemError(ERROR_ACCESS_DENIED)));
    // As Asio reports a failed open.
    CHECK(native::meansBusy(
        std::error_code(ERROR_ACCESS_DENIED, asio::error::get_system_category())));
    CHECK(native::meansBusy(systemError(ERROR_SHARING_VIOLATION)));
    CHECK(!native::meansBusy(systemError(ERROR_FILE_NOT_FOUND)));
    CHECK(native::meansGone(systemError(ERROR_DEVICE_REMOVED)));
    CHECK(native::meansGone(systemError(ERROR_BAD_COMMAND)));
    CHECK(!native::meansGone(systemError(ERROR_OPERATION_ABORTED)));
    // A read the port ends on its own time-out found no input yet: not gone,
    // not a failure; a cancel or a refusal is not that.
    CHECK(native::meansNoInputYet(systemError(ERROR_TIMEOUT)));
    CHECK(native::meansNoInputYet(
        std::error_code(ERROR_SEM_TIMEOUT, asio::error::get_system_category())));
    CHECK(!native::meansNoInputYet(systemError(ERROR_OPERATION_ABORTED)));
    CHECK(!native::meansNoInputYet(systemError(ERROR_ACCESS_DENIED)));
    CHECK(!native::meansGone(systemError(ERROR_TIMEOUT)));
    CHECK(!native::meansGone(systemError(ERROR_ACCESS_DENIED)));
    // Same number, other meaning: not a system error.
    CHECK(!native::meansGone(std::error_code(ERROR_BAD_COMMAND, std::generic_category())));

    ::SetLastError(ERROR_FILE_NOT_FOUND);
    const std::string text = native::lastErrorText();
    CHECK(!text.empty());
    CHECK(text.find("error ") != 0); // the system's words, not the bare number
    CHECK(text.back() != '.' && text.back() != '\n' && text.back() != '\r');
}

struct Received {
    std::string bytes;
    bool timedOut = false;
};

// Reads until count bytes came or the deadline passed, as a transport does:
// a read under a timer that cancels it. A read that waits past its bytes for
// the deadline shows as timedOut.
Received readFor(asio::io_context& io, asio::serial_port& port, std::size_t count,
                 std::chrono::milliseconds limit) {
    std::string got;
    char buffer[64];
    asio::steady_timer timer(io, limit);
    bool timedOut = false;
    timer.async_wait([&](const std::error_code& error) {
        if (!error) {
            timedOut = true;
            port.cancel();
        }
    });
    std::function<void()> readMore = [&] {
        port.async_read_some(asio::buffer(buffer),
                             [&](const std::error_code& error, std::size_t n) {
                                 got.append(buffer, n);
                                 if (!error && got.size() < count && !timedOut) {
                                     readMore();
                                 } else {
                                     timer.cancel();
                                 }
                             });
    };
    readMore();
    io.restart();
    io.run();
    return {got, timedOut};
}

bool writeAll(asio::serial_port& port, const std::string& bytes) {
    std::error_code error;
    asio::write(port, asio::buffer(bytes), error);
    return !error;
}

void checkLine(const std::string& device, const std::string& missingName) {
    asio::io_context io;
    {
        asio::serial_port missing(io);
        std::error_code error;
        missing.open(velmora::windowsDevicePath(missingName), error);
        CHECK(error);
        CHECK(!native::meansBusy(error));
    }

    asio::serial_port port(io);
    std::error_code error;
    port.open(velmora::windowsDevicePath(device), error);
    if (error) {
        std::printf("FAIL cannot open %s: %s\n", device.c_str(), error.message().c_str());
        ++failures;
        return;
    }
    const native::Handle handle = port.native_handle();
    CHECK(native::makeRaw(handle, device).ok());
    port.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), error);
    port.set_option(asio::serial_port::baud_rate(2400), error);
    CHECK(!error);
    // makeRaw's read time-outs hold after Asio's own settings.
    COMMTIMEOUTS timeouts{};
    CHECK(::GetCommTimeouts(handle, &timeouts) && timeouts.ReadIntervalTimeout == 1 &&
          timeouts.ReadTotalTimeoutConstant == 0 && timeouts.WriteTotalTimeoutConstant == 0);

    // The rate the far end sees is the one set; then protocol bytes pass raw
    // both ways, XON and XOFF included.
    CHECK(writeAll(port, "?"));
    CHECK_EQ(readFor(io, port, 5, 3s).bytes, "2400\n");
    const std::string protocol("\x11\xFF\x13\x00\x0D\x0A", 6);
    CHECK(writeAll(port, protocol));
    const Received echoed = readFor(io, port, protocol.size(), 3s);
    CHECK_EQ(echoed.bytes, protocol);
    // The read returned with the bytes, not when its deadline cancelled it.
    CHECK(!echoed.timedOut);
    CHECK_EQ(std::to_string(native::queuedOutput(handle)), "0");

    // The queue count sees bytes that arrived and were not read; discarding
    // drops them, so a read afterwards finds nothing.
    CHECK(writeAll(port, "abcd"));
    auto until = std::chrono::steady_clock::now() + 3s;
    while (native::queuedInput(handle) < 4 && std::chrono::steady_clock::now() < until) {
        ::Sleep(5);
    }
    CHECK_EQ(std::to_string(native::queuedInput(handle)), "4");
    CHECK(native::discardInput(handle, device).ok());
    CHECK_EQ(std::to_string(native::queuedInput(handle)), "0");
    const Received afterDiscard = readFor(io, port, 1, 200ms);
    CHECK_EQ(afterDiscard.bytes, "");
    CHECK(afterDiscard.timedOut);

    // A pseudo-terminal has no modem lines: accepted and ignored, and the line
    // stays raw and takes a change of rate afterwards. (Under Wine the
    // settings always read DTR and RTS as raised.)
    CHECK(native::setModemLine(handle, velmora::ModemLine::DataTerminalReady, false, device).ok());
    CHECK(native::setModemLine(handle, velmora::ModemLine::RequestToSend, true, device).ok());
    DCB settings{};
    settings.DCBlength = sizeof settings;
    CHECK(::GetCommState(handle, &settings) && !settings.fOutX && !settings.fInX);
    port.set_option(asio::serial_port::baud_rate(9600), error);
    CHECK(!error);
    CHECK(writeAll(port, "?"));
    CHECK_EQ(readFor(io, port, 5, 3s).bytes, "9600\n");

    // The far end hangs up: the read and the writes after it say the device is gone.
    CHECK(writeAll(port, "!"));
    char byte = 0;
    port.read_some(asio::buffer(&byte, 1), error);
    CHECK(native::meansGone(error));
    asio::write(port, asio::buffer("x", 1), error);
    CHECK(native::meansGone(error));
    port.close();
}

void checkPortList(const std::string& comName) {
    const std::vector<velmora::PortInfo> ports = velmora::availablePorts();
    const bool listed = std::any_of(ports.begin(), ports.end(), [&](const velmora::PortInfo& port) {
        return port.name == comName && port.device == comName;
    });
    CHECK(listed);
    CHECK(std::is_sorted(ports.begin(), ports.end(),
                         [](const velmora::PortInfo& a, const velmora::PortInfo& b) {
                             return std::stoi(a.name.substr(3)) < std::stoi(b.name.substr(3));
                         }));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: native_windows_check COMn UNMAPPED-COMn\n");
        return 2;
    }
    checkNamesAndErrors();
    checkLine(argv[1], argv[2]);
    checkPortList(argv[1]);
    std::printf("%s: %d failed\n", failures == 0 ? "ok" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
