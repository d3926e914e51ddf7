#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora {

// What the simulated board plays, and the faults it injects.
struct BoardOptions {
    enum class Mode {
        // The board's own firmware: trigger word at 2400 baud, then the write at 9600.
        User,
        // The chip's boot mode: bit-rate adjustment, echoed download of the boot
        // program, then the write of the image that follows it at 9600 and the
        // final image at 38400.
        Boot,
    };
    Mode mode = Mode::User;

    // Where to link the pseudo-terminal's device; empty: no link.
    std::string linkPath;

    // User mode: start in the firmware's reflash mode, as if a trigger word had
    // already been heard (so a write without trigger word is taken at once).
    bool startInReflashMode = false;
    // User mode: stay in reflash mode after a completed write instead of going
    // back to the running firmware, which waits for a trigger word.
    bool stayInReflashMode = false;

    // The byte that acknowledges the command block and the size message (0x06 or 0x11).
    std::uint8_t acknowledge = 0x06;

    // Line rates each step listens at; bytes sent at any other rate are garbage.
    int triggerBaud = 2400;
    int reflashBaud = 9600;
    int bootBaud = 9600;
    int bootProgramBaud = 9600;
    int newFirmwareBaud = 38400;

    // Bytes that reach the board together with a change of the host's line
    // settings cannot be put in order with it on a pseudo-terminal, nor can
    // settings the host passed through in between be seen. Strict, such bytes
    // must match a setting the board saw, before or after the change: a host
    // that opens the line at a wrong rate and writes at once is refused, as a
    // UART listening at the right rate would garble its bytes. A host must
    // then give its bytes their time on the line before it changes the rate
    // again, as a real line's drain makes it. Not strict, such bytes are not
    // held to a rate (for a host that cannot wait out its line).
    bool strictRates = true;

    // Bit-rate adjustment: the chip answers 0x00 after this many 0x00 bytes.
    int adjustZeros = 3;
    // When not empty, the downloaded boot program must be exactly these bytes;
    // otherwise the chip jumps into a program it cannot run and stays silent.
    std::vector<std::uint8_t> expectedBootProgram;

    // A message cut short is dropped after this much silence on the line (a
    // write then answers 0x15 and ends).
    std::chrono::milliseconds messageGap{500};

    // Pace every byte at the line rate: 10 bits per byte at the rate in force.
    bool pace = false;
    // Delay before every answer (slow board).
    std::chrono::milliseconds replyDelay{0};

    // Faults. Blocks and boot bytes count from 1; 0 disables the fault.
    bool silent = false;         // never answers anything
    int nakBlock = 0;            // answers 0x15 to this block
    int earlyAckBlock = 0;       // answers 0x06 (end) to this block
    int dropAfterBlock = 0;      // closes its end of the line on this block
    int faultWrite = 0;          // the write the block faults apply to; 0: every write
    int wrongEchoByte = 0;       // boot download: wrong echo of this byte (1, 2: length)
    int wrongEchoCount = 1;      // ... and of the bytes that follow it, this many in all
    bool noAdjustAnswer = false; // never answers the bit-rate adjustment
    bool noSelectAnswer = false; // never answers 0x55
    // Bytes put on the line before the host opens it, as an interrupted run
    // or a board that spoke before anyone listened leaves them.
    std::vector<std::uint8_t> strayBytes;

    // Called on the board's thread with the flash after each completed write,
    // before the board sends its final 0x06. It runs under the board's lock:
    // it must not call the board.
    std::function<void(const std::vector<std::uint8_t>&)> onWriteCompleted;
};

} // namespace velmora
