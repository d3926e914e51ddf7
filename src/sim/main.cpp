// velmora-sim: a simulated H8/3062F board on a pseudo-terminal.

#include "core/file_io.h"
#include "sim/simulated_board.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

int parseByte(const std::string& text) {
    try {
        std::size_t used = 0;
        int value = std::stoi(text, &used, 0);
        return used == text.size() ? value : -1;
    } catch (...) {
        return -1;
    }
}

// What the command line sets: the board's options and the texts and numbers
// they are made from.
struct Arguments {
    velmora::BoardOptions options;
    std::string mode = "user";
    std::string flashOut;
    std::string summaryOut;
    std::string bootProgram;
    std::string acknowledge = "0x06";
    std::string stray;
    int replyDelayMs = 0;
    int messageGapMs = 500;
    bool lenientRates = false;
};

// What the board plays and where it writes what it saw.
void addBoardOptions(CLI::App& app, Arguments& args) {
    app.add_option("--link", args.options.linkPath,
                   "Symbolic link to create to the device (replaces an old link, never a file)");
    app.add_option("--mode", args.mode,
                   "What the board plays: user (its firmware) or boot (the chip's boot mode)")
        ->check(CLI::IsMember({"user", "boot"}))
        ->capture_default_str();
    app.add_option("--flash-out", args.flashOut,
                   "Write the 128 KiB flash to FILE after each completed write");
    app.add_option("--summary", args.summaryOut,
                   "Write a JSON summary of what the board saw to FILE at exit and on SIGUSR1 "
                   "(messages with byte counts and baud, checksum results, writes, faults)");
    app.add_flag("--pace", args.options.pace,
                 "Pace every byte at the line rate (10 bits per byte at the rate in force)");
    app.add_flag("--lenient-rates", args.lenientRates,
                 "Take bytes that arrive together with a change of line settings at any rate "
                 "(by default they must match the settings seen before or after the change, "
                 "which catches a host that opens at a wrong rate and writes at once)");
    app.add_flag("--start-in-reflash", args.options.startInReflashMode,
                 "user mode: start in reflash mode, as if a trigger word had been heard");
    app.add_flag("--stay-in-reflash", args.options.stayInReflashMode,
                 "user mode: stay in reflash mode after a completed write");
    app.add_option("--ack", args.acknowledge,
                   "Byte acknowledging the command block and size message: 0x06 or 0x11")
        ->check(CLI::IsMember({"0x06", "0x11", "6", "17"}))
        ->capture_default_str();
    app.add_option("--adjust-zeros", args.options.adjustZeros,
                   "boot mode: 0x00 bytes the chip measures before it answers 0x00")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option(
        "--boot-program", args.bootProgram,
        "boot mode: the downloaded program must equal this file, else the chip stays silent");
    app.add_option("--message-gap-ms", args.messageGapMs,
                   "Silence after which a message cut short is dropped (a write answers 0x15)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
}

// The faults the board injects.
void addFaultOptions(CLI::App& app, Arguments& args) {
    auto* faults =
        app.add_option_group("Faults", "Faults to inject (blocks and boot bytes count from 1)");
    faults->add_flag("--silent", args.options.silent, "Never answer anything");
    faults->add_option("--nak-block", args.options.nakBlock, "Answer 0x15 to block K")
        ->check(CLI::PositiveNumber);
    faults
        ->add_option("--early-ack-block", args.options.earlyAckBlock,
                     "Answer 0x06 (end) to block K")
        ->check(CLI::PositiveNumber);
    faults
        ->add_option("--drop-after-block", args.options.dropAfterBlock,
                     "Close the line on block K: the device vanishes, velmora-sim exits")
        ->check(CLI::PositiveNumber);
    faults
        ->add_option("--fault-write", args.options.faultWrite,
                     "Apply the block faults to write N only (default: every write)")
        ->check(CLI::PositiveNumber);
    faults
        ->add_option(
            "--wrong-echo", args.options.wrongEchoByte,
            "boot mode: echo byte K of the download wrongly (1 and 2 are the length bytes)")
        ->check(CLI::PositiveNumber);
    faults
        ->add_option("--wrong-echo-count", args.options.wrongEchoCount,
                     "boot mode: echo this many bytes from K on wrongly")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    faults->add_flag("--no-adjust-answer", args.options.noAdjustAnswer,
                     "boot mode: never answer the 0x00 stream");
    faults->add_flag("--no-select-answer", args.options.noSelectAnswer,
                     "boot mode: never answer 0x55");
    faults->add_option("--reply-delay-ms", args.replyDelayMs, "Wait this long before every answer")
        ->check(CLI::NonNegativeNumber);
    faults
        ->add_option(
            "--stray", args.stray,
            "Bytes (hex digits, e.g. 11 or 1106) left on the line before the host opens it")
        ->check([](const std::string& text) {
            return text.size() % 2 == 0 &&
                           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos
                       ? std::string()
                       : std::string("pairs of hex digits expected");
        });
}

// The board's options from the texts and numbers given; false (after saying
// why) when the boot program to expect cannot be read.
bool finishOptions(Arguments& args) {
    args.options.mode =
        args.mode == "boot" ? velmora::BoardOptions::Mode::Boot : velmora::BoardOptions::Mode::User;
    args.options.acknowledge = static_cast<std::uint8_t>(parseByte(args.acknowledge));
    args.options.replyDelay = std::chrono::milliseconds(args.replyDelayMs);
    args.options.messageGap = std::chrono::milliseconds(args.messageGapMs);
    args.options.strictRates = !args.lenientRates;
    for (std::size_t i = 0; i + 1 < args.stray.size(); i += 2) {
        args.options.strayBytes.push_back(
            static_cast<std::uint8_t>(std::stoul(args.stray.substr(i, 2), nullptr, 16)));
    }
    if (!args.bootProgram.empty()) {
        std::string problem;
        auto expected = velmora::readWholeFile(args.bootProgram, &problem);
        if (!expected) {
            std::cerr << "velmora-sim: cannot read " << problem << "\n";
            return false;
        }
        args.options.expectedBootProgram = std::move(*expected);
    }
    return true;
}

// Plays the board until SIGINT or SIGTERM, or until its line drops; the exit status.
int serve(Arguments& args) {
    bool flashWriteFailed = false;
    if (!args.flashOut.empty()) {
        args.options.onWriteCompleted =
            [&args, &flashWriteFailed](const std::vector<std::uint8_t>& flash) {
                // Published whole: a reader never sees half a flash.
                if (!velmora::publishFile(
                        args.flashOut,
                        std::string_view(reinterpret_cast<const char*>(flash.data()), flash.size()),
                        velmora::Durability::Renamed)) {
                    flashWriteFailed = true;
                }
            };
    }

    // The signals are taken by sigtimedwait below; the board's thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    velmora::SimulatedBoard board(args.options);
    if (!board.start()) {
        std::cerr << "velmora-sim: " << board.lastError() << "\n";
        return 1;
    }
    std::cout << "velmora-sim ready: " << board.devicePath() << " (" << board.terminalPath() << ", "
              << args.mode << " mode)" << std::endl;

    auto writeSummary = [&] {
        if (!args.summaryOut.empty() &&
            !velmora::publishFile(args.summaryOut, board.summary().toJson(),
                                  velmora::Durability::Renamed)) {
            std::cerr << "velmora-sim: cannot write " << args.summaryOut << "\n";
        }
    };
    for (;;) {
        timespec poll{0, 100'000'000};
        int signal = sigtimedwait(&signals, nullptr, &poll);
        if (signal == SIGUSR1) {
            writeSummary();
            continue;
        }
        if (signal == SIGINT || signal == SIGTERM || board.linkDropped()) {
            break;
        }
    }
    board.stop();
    writeSummary();
    if (flashWriteFailed) {
        std::cerr << "velmora-sim: cannot write " << args.flashOut << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"velmora-sim: a simulated H8/3062F board on a pseudo-terminal.\n\n"
                 "It creates a pseudo-terminal, plays the board on its master side and serves "
                 "until SIGINT or SIGTERM. A host opens the printed device (or --link) as a "
                 "serial port.\n"
                 "user mode: the board's firmware waits at 2400 baud for the trigger word "
                 "(reflshu: Flash, reflsha: All flash), then at 9600 takes the command block, "
                 "the size message, the 128-byte blocks (last one padded with 0xFF) and the "
                 "closing checksum.\n"
                 "boot mode: the chip answers the 0x00 stream with 0x00 and 0x55 with 0xAA, "
                 "echoes the length and the boot program and sends 0xAA; the boot program "
                 "then takes a write at 9600 and the image it wrote the final write at 38400.\n"
                 "Bytes sent at a rate the step does not listen at are garbage. "
                 "SIGUSR1 writes the summary now."};
    app.set_version_flag("--version", "velmora-sim 0.1.0");

    Arguments args;
    addBoardOptions(app, args);
    addFaultOptions(app, args);
    CLI11_PARSE(app, argc, argv);
    if (!finishOptions(args)) {
        return 2;
    }
    return serve(args);
}
