// The programming control end to end against the board model on a model line;
// a device that vanishes under a link is shown on a real pseudo-terminal.

#include "control/corvane_view.h"
#include "control/run_hints.h"
#include "core/flags.h"
#include "serial/ms_comm.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#include "sim/model_line.h"
#include "sim/simulated_board.h"
#include "support/recording_operator.h"
#include "support/test_files.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>

namespace velmora {
namespace {

using testing::RecordingOperator;
using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;
namespace fs = std::filesystem;
using testing::readBytes;
using testing::writeBytes;
using namespace std::chrono_literals;

using testing::pattern;

// A board's options, changed by `change`.
BoardOptions userBoard(const std::function<void(BoardOptions&)>& change = {}) {
    BoardOptions options;
    if (change) {
        change(options);
    }
    return options;
}

BoardOptions bootBoard(const std::function<void(BoardOptions&)>& change = {}) {
    BoardOptions options = userBoard(change);
    options.mode = BoardOptions::Mode::Boot;
    return options;
}

Bytes flashWith(const Bytes& image) {
    Bytes flash(128 * 1024, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

class Control : public ::testing::Test {
protected:
    void SetUp() override {
        dataReady = 0;
        bootMode = 0;
        bootDownloadDone = 0;
        places.workDir = testing::freshTestFolder("velmora-control");
        places.bootDir = places.workDir / "boot";
        fs::create_directories(places.bootDir);
        // A real line's poll wait and tick: their time-outs pass on the model
        // line's clock alone.
        timing.clock = &clock;
    }
    void TearDown() override {
        view.reset();
        if ((model || board) && HasFailure()) {
            std::cerr << "what the board saw: " << boardSummary().toJson() << "\n";
        }
        if (board) {
            board->stop();
        }
        dataReady = 0;
        bootMode = 0;
        bootDownloadDone = 0;
        fs::remove_all(places.workDir);
    }

    // A board on a model line, reached as port 1 and by the control.
    void startBoard(BoardOptions options = {}) {
        model = std::make_unique<BoardModel>(options);
        line = std::make_unique<ModelLine>(*model, clock);
        startView(modelDevice);
    }
    // The simulated board on a fresh pseudo-terminal, on the real clock.
    void startBoardOnTerminal(BoardOptions options) {
        timing.clock = &steadyClock();
        board = std::make_unique<SimulatedBoard>(options);
        ASSERT_TRUE(board->start()) << board->lastError();
        startView(board->devicePath());
    }
    // A view with no board behind port 1.
    void startWithoutBoard() { startView((places.workDir / "no-such-device").string()); }
    void startView(const std::string& device) {
        ports.assign(1, device);
        comm.setPortName(device);
        view = std::make_unique<CCorvaneView>(op, port, comm, places, timing);
    }
    // The model line for its name, every other port as the machine has it.
    std::unique_ptr<Transport> reach(const std::string& name) {
        return line && name == modelDevice ? line->transport(name) : makeTransport(name);
    }
    BoardSummary boardSummary() const { return model ? model->summary() : board->summary(); }
    Bytes boardFlash() const { return model ? model->flash() : board->flash(); }
    std::string boardDevice() const { return model ? modelDevice : board->devicePath(); }

    void loadImage(const Bytes& bytes) {
        writeBytes(places.imageFile(), bytes);
        image = bytes;
        dataReady = 1;
    }
    void installBootFiles(bool bootProgram = true, bool preFlash = true) {
        if (bootProgram) {
            writeBytes(places.bootProgramFile(), pattern(1558, 77));
        }
        if (preFlash) {
            writeBytes(places.preFlashFile(), pattern(1024, 99));
        }
    }

    // After every run: nothing half-open, every mode clear, the image as built.
    void expectIdle() {
        EXPECT_EQ(view->busy, 0);
        EXPECT_EQ(view->userMode, 0);
        EXPECT_EQ(view->programmingPending, 0);
        EXPECT_EQ(view->bootHandshake, 0);
        EXPECT_EQ(bootMode, 0);
        EXPECT_EQ(bootDownloadDone, 0);
        EXPECT_FALSE(port.isOpen());
        EXPECT_FALSE(view->writesOverControl());
        EXPECT_TRUE(view->isEnabled(WriteToFlashCommand));
        EXPECT_FALSE(view->isChecked(FlashCommand));
        if (!image.empty()) {
            EXPECT_EQ(readBytes(places.imageFile()), image);
        }
    }

    // The record of the last command: how it ended and where.
    void expectRun(RunCommand command, RunResult result, RunStage stage) {
        const RunRecord& run = view->lastRun();
        EXPECT_EQ(run.command, command);
        EXPECT_EQ(resultName(run.result), resultName(result));
        EXPECT_EQ(stageName(run.stage), stageName(stage));
        EXPECT_EQ(run.messages(), op.texts()) << "the record keeps what the run showed";
        EXPECT_LE(run.start, run.end);
    }

    static constexpr const char* modelDevice = "/dev/ttyModel0";
    VirtualClock clock;
    std::unique_ptr<BoardModel> model;
    std::unique_ptr<ModelLine> line;
    std::unique_ptr<SimulatedBoard> board;
    Ports ports{[this](const std::string& name) { return reach(name); }, clock};
    RecordingOperator op;
    SerialPort port{ports};
    CMSComm comm{ports};
    Places places;
    Timing timing;
    std::unique_ptr<CCorvaneView> view;
    Bytes image;
};

TEST_F(Control, FlashWritesTheImageIntoTheBoard) {
    startBoard();
    loadImage(pattern(64 * 33)); // an odd multiple of 64
    view->flash();
    EXPECT_EQ(op.texts(), Texts{"Porgramming successfully !"});
    EXPECT_EQ(op.messages[0].icon, Icon::Information);
    EXPECT_EQ(op.pauses, (std::vector<int>{3001, 3001, 701}));
    EXPECT_EQ(op.exchangeCaptions, (Texts{"Waiting for System Response ...",
                                          "Waiting for System Response ...", "Programming ....."}));
    EXPECT_EQ(view->programmedCount(), 1);
    EXPECT_EQ(view->imageSize, 64 * 33);
    EXPECT_EQ(boardFlash(), flashWith(image));
    const BoardSummary seen = boardSummary();
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages[0].result, "accepted: reflshu (Flash)");
    EXPECT_EQ(readBytes(places.recordFile()).size(), 16u * (17 + 1));
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Programmed, RunStage::Finished);
    const RunRecord& run = view->lastRun();
    EXPECT_EQ(run.imageSize, 64 * 33);
    EXPECT_EQ(run.imageSha256.size(), 64u);
    EXPECT_EQ(run.portDevice, boardDevice());
    EXPECT_TRUE(run.portOpened);
    EXPECT_TRUE(run.cause.empty());
    // Trigger word, command block, size, 17 blocks of 1 + 128, closing message; an
    // answer to each of the last 20.
    EXPECT_EQ(run.bytesSent, 7 + 34 + 8 + 17 * 129 + 2);
    EXPECT_EQ(run.bytesReceived, 2 + 17 + 1);
    EXPECT_TRUE(runHints(run, {}).empty());
    EXPECT_EQ(
        runSummary(run).rfind("Programmed 2112 bytes on " + boardDevice() + " (port 1) in ", 0), 0u)
        << runSummary(run);
}

TEST_F(Control, AllFlashSendsItsOwnTriggerWordAndReplacesAnEarlierImage) {
    BoardOptions options;
    options.acknowledge = 0x11;
    startBoard(options);
    loadImage(pattern(4096, 1));
    view->allFlash();
    EXPECT_EQ(op.texts(), Texts{"Porgramming successfully !"});
    loadImage(pattern(192, 2));
    view->allFlash();
    EXPECT_EQ(op.texts(), (Texts{"Porgramming successfully !", "Porgramming successfully !"}));
    EXPECT_EQ(boardFlash(), flashWith(image));
    EXPECT_EQ(boardSummary().messages[0].result, "accepted: reflsha (All flash)");
    expectIdle();
}

TEST_F(Control, WriteCommandWritesToABoardAlreadyInReflashMode) {
    BoardOptions options;
    options.startInReflashMode = true;
    startBoard(options);
    loadImage(pattern(128 * 1024, 3)); // the whole flash
    view->writeCommand();
    EXPECT_EQ(op.texts(), Texts{"Porgramming successfully !"});
    EXPECT_EQ(op.pauses, (std::vector<int>{3001, 701}));
    EXPECT_EQ(boardFlash(), image);
    expectIdle();
}

TEST_F(Control, FlashActionSettingProgramsThroughTheBootMode) {
    startBoard(bootBoard());
    installBootFiles();
    loadImage(pattern(64 * 5, 4));
    view->setBootMode();
    EXPECT_EQ(op.texts(), Texts{"Porgramming successfully !"});
    EXPECT_EQ(op.exchangeCaptions,
              (Texts{"Waiting for System Response ...", "Waiting for System Response ...",
                     "Boot mode Download .....", "Waiting for System Response ...",
                     "Waiting for System Response ...", "Programming .....",
                     "Waiting for System Response ...", "Waiting for System Response ...",
                     "Programming ....."}));
    EXPECT_EQ(op.pauses, (std::vector<int>{701, 51, 701}));
    EXPECT_EQ(view->programmedCount(), 1);
    EXPECT_EQ(boardFlash(), flashWith(image));
    const BoardSummary seen = boardSummary();
    EXPECT_EQ(seen.bootDownloads, 1);
    ASSERT_EQ(seen.writes.size(), 2u);
    EXPECT_EQ(seen.writes[0].size, 1024u); // PreFlash.bin at 9600
    EXPECT_EQ(seen.writes[0].baud, 9600);
    EXPECT_EQ(seen.writes[1].size, 64u * 5); // the image at 38400
    EXPECT_EQ(seen.writes[1].baud, 38400);
    EXPECT_EQ(comm.settings(), "38400,n,8,1");
    EXPECT_TRUE(comm.portOpen()); // the control's line stays open
    expectIdle();
}

TEST_F(Control, SilentBoardIsNotReady) {
    startBoard(userBoard([](BoardOptions& o) { o.silent = true; }));
    loadImage(pattern(256));
    view->flash();
    EXPECT_EQ(op.texts(), (Texts{"Time out !", "System not Ready(A) !"}));
    EXPECT_EQ(view->programmedCount(), 0);
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::CommandBlock);
    EXPECT_TRUE(view->lastRun().cause.empty());
    EXPECT_EQ(view->lastRun().bytesReceived, 0);

    // On the default port, with an adapter plugged in elsewhere.
    view->setPortNamed("1", true);
    op = RecordingOperator();
    view->flash();
    PortInfo adapter;
    adapter.device = "/dev/ttyUSB0";
    adapter.description = "FT232R USB UART";
    adapter.serialNumber = "A10K3QZ1";
    adapter.vendorId = 0x0403;
    PortInfo builtIn; // says nothing of itself: not offered
    builtIn.device = "/dev/ttyS1";
    const std::string device = boardDevice();
    EXPECT_EQ(runHints(view->lastRun(), {builtIn, adapter}),
              (Texts{"Port: " + device + " (port 1, the default).",
                     "The board did not answer on " + device +
                         ". It must be powered, connected to this port and running its own "
                         "firmware, which the trigger word puts into its reflash mode.",
                     "No port was named, so the default was used.",
                     "The board may be on /dev/ttyUSB0 (FT232R USB UART, A10K3QZ1): --port "
                     "/dev/ttyUSB0"}));
    EXPECT_EQ(runHints(view->lastRun(), {}).back(), "No other serial adapter is plugged in.");
}

TEST_F(Control, NegativeAnswerToABlockIsAProgrammingError) {
    startBoard(userBoard([](BoardOptions& o) { o.nakBlock = 2; }));
    loadImage(pattern(1024));
    view->flash();
    EXPECT_EQ(op.texts(),
              (Texts{"Receive Error(B) !", "Programming Data Error. Please try again !"}));
    EXPECT_EQ(op.pauses.back(), 701);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 32u);
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::Block);
    EXPECT_EQ(stageText(view->lastRun()), "block 2 of 8");
    EXPECT_EQ(runHints(view->lastRun(), {}).back(),
              "The board's flash is now partly written (the program ended at block 2 of 8): "
              "repeat the run before the board is used.");
}

TEST_F(Control, AnEndAnswerBeforeTheLastBlockIsNoSuccess) {
    startBoard(userBoard([](BoardOptions& o) { o.earlyAckBlock = 1; }));
    loadImage(pattern(1024));
    view->flash();
    // The board cannot have the image: seven of its eight blocks never went out.
    EXPECT_EQ(op.told, (Texts{"The board ended the transfer after block 1 of 8.",
                              "Programming Data Error. Please try again !"}));
    EXPECT_EQ(op.notices.at(0).second, Notice::Failure);
    EXPECT_EQ(view->programmedCount(), 0);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 16u);
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::Block);
    EXPECT_EQ(stageText(view->lastRun()), "block 1 of 8");
    EXPECT_EQ(view->lastRun().cause, "The board ended the transfer after block 1 of 8.");
}

TEST_F(Control, AnEndAnswerAfterTheLastBlockIsTheTargetsWord) {
    startBoard(userBoard([](BoardOptions& o) { o.earlyAckBlock = 8; }));
    loadImage(pattern(1024));
    view->flash();
    // Programmed, with a word that the checksum never went out.
    EXPECT_EQ(op.told, (Texts{"The board ended the transfer after the last block; the checksum "
                              "was never sent.",
                              "Porgramming successfully !"}));
    EXPECT_EQ(view->programmedCount(), 1);
    EXPECT_EQ(view->uncheckedCount(), 1);
    EXPECT_EQ(readBytes(places.recordFile()).size(), 8u * 16);
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Programmed, RunStage::Finished);
    EXPECT_TRUE(view->lastRun().endedBeforeChecksum);
}

TEST_F(Control, ADeviceThatVanishesIsNamedAtOnceNotTimedOut) {
    startBoardOnTerminal(userBoard([&](BoardOptions& o) {
        o.dropAfterBlock = 2;
        o.linkPath = (places.workDir / "board").string();
    }));
    loadImage(pattern(1024));
    // Named as the port was given (a link), not as the pseudo-terminal it leads to.
    const std::string device = board->devicePath();
    ASSERT_NE(device, std::filesystem::canonical(device).string());
    const auto start = std::chrono::steady_clock::now();
    view->flash();
    // On the real clock, with the run's own pauses shortened: the transfer's
    // time-out alone would take a minute, so well under that proves none was
    // waited out, however slow a sanitized build on a busy machine is.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    ASSERT_EQ(op.told.size(), 2u);
    EXPECT_EQ(op.told[0].rfind(device + ": ", 0), 0u) << op.told[0];
    EXPECT_EQ(op.notices.at(0).second, Notice::Failure);
    EXPECT_EQ(op.told[1], "Programming Data Error. Please try again !");
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::Block);
    EXPECT_GE(view->lastRun().blockNumber, 2);
    EXPECT_EQ(view->lastRun().cause, op.told[0]);
}

TEST_F(Control, APortThatCannotBeOpenedIsNamedAndEndsTheCommand) {
    startWithoutBoard();
    loadImage(pattern(256));
    const std::string device = (places.workDir / "no-such-device").string();
    view->flash();
    EXPECT_EQ(op.told, (Texts{"Cannot open " + device + ": No such file or directory",
                              "System not Ready(A) !"}));
    EXPECT_TRUE(op.exchangeCaptions.empty()) << "no time-out was waited out";
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::OpeningPort);
    EXPECT_EQ(view->lastRun().cause, op.told[0]);
    EXPECT_EQ(view->lastRun().portDevice, device);
    EXPECT_FALSE(view->lastRun().portOpened);
    EXPECT_EQ(view->lastRun().bytesSent, 0);

    op = RecordingOperator();
    view->writeCommand();
    EXPECT_EQ(op.told, (Texts{"Cannot open " + device + ": No such file or directory",
                              "System not Ready(A) !"}));
    expectRun(RunCommand::WriteCommand, RunResult::Failed, RunStage::OpeningPort);

    op = RecordingOperator();
    installBootFiles();
    view->setBootMode();
    EXPECT_EQ(op.told, (Texts{"Cannot open " + device + ": No such file or directory",
                              "Boot mode System not Ready (A)!"}));
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::OpeningPort);
    EXPECT_EQ(view->lastRun().cause, op.told[0]);
}

TEST_F(Control, WrongAcknowledgementOfTheSizeIsNotReadyB) {
    // A size over the flash's 128 KiB is refused by the board with 0x15.
    startBoard();
    loadImage(pattern(128 * 1024 + 64));
    view->flash();
    EXPECT_EQ(op.texts(), (Texts{"Response Error(A) !", "System not Ready(B) !"}));
    EXPECT_EQ(op.messages[0].icon, Icon::Stop);
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::SizeMessage);
    EXPECT_EQ(runHints(view->lastRun(), {}).at(1),
              "The image is 131136 bytes; the flash holds 131072.");
}

TEST_F(Control, RefusesWithoutALoadedFileBeforeOpeningAnything) {
    startWithoutBoard();
    view->flash();
    view->allFlash();
    view->writeCommand();
    view->setBootMode();
    EXPECT_EQ(op.texts(), Texts(4, "Data is not ready. Please reload your file !"));
    EXPECT_EQ(op.pauses, (std::vector<int>{3001, 3001, 3001}));
    EXPECT_TRUE(op.exchangeCaptions.empty());
    EXPECT_FALSE(comm.portOpen());
    expectIdle();
    EXPECT_EQ(view->lastRun().command, RunCommand::SetBootMode);
    EXPECT_EQ(view->lastRun().stage, RunStage::LoadedProgram);
}

TEST_F(Control, ABusyMarkIsOnlyCleared) {
    startWithoutBoard();
    loadImage(pattern(128));
    view->busy = 1;
    EXPECT_TRUE(view->isChecked(FlashCommand));
    EXPECT_TRUE(view->isChecked(AllFlashCommand));
    EXPECT_TRUE(view->isChecked(WriteCommandCommand));
    view->flash();
    EXPECT_EQ(view->busy, 0);
    view->busy = 1;
    view->writeCommand();
    EXPECT_TRUE(op.messages.empty());
    EXPECT_TRUE(op.exchangeCaptions.empty());
    expectIdle();
    expectRun(RunCommand::WriteCommand, RunResult::Failed, RunStage::PreviousRun);
}

TEST_F(Control, WriteRequestInNeitherModeSendsNothing) {
    startWithoutBoard();
    loadImage(pattern(128));
    view->writeToFlash();
    EXPECT_EQ(op.texts(), Texts{"System not ready. Please repeat the flash action again !"});
    EXPECT_TRUE(op.exchangeCaptions.empty());
    expectIdle();
    expectRun(RunCommand::WriteToFlash, RunResult::Failed, RunStage::ModeCheck);
}

TEST_F(Control, AnUnreadableImageIsRefusedBeforeAnythingIsSent) {
    startBoard();
    loadImage(pattern(256));
    fs::remove(places.imageFile());
    image.clear();
    view->flash();
    EXPECT_EQ(op.texts(), Texts{"BIN File Read Error !"});
    EXPECT_TRUE(op.exchangeCaptions.empty());
    const BoardSummary seen = boardSummary();
    for (const MessageRecord& message : seen.messages) {
        EXPECT_EQ(message.kind, "trigger word");
    }
    expectIdle();
    expectRun(RunCommand::Flash, RunResult::Failed, RunStage::ImageFile);
    EXPECT_EQ(view->lastRun().imageSent, "tmp.bin");
    EXPECT_FALSE(view->lastRun().cause.empty());
}

TEST_F(Control, ModeSwitchesRefuseTheWrongMode) {
    startWithoutBoard();
    loadImage(pattern(128));
    view->setUserMode();
    EXPECT_EQ(view->userMode, 1);
    view->setBootMode(); // from user mode: reset only
    EXPECT_EQ(view->userMode, 0);
    view->setUserMode();
    view->setUserMode(); // a second use clears it through a reset
    bootMode = 1;
    view->setUserMode();
    EXPECT_EQ(view->userMode, 0);
    EXPECT_EQ(bootMode, 1);
    view->setBootMode(); // from boot mode: reset only
    EXPECT_EQ(op.messages,
              (std::vector<RecordingOperator::Message>{{"Reset System(A) !", Icon::Information},
                                                       {"User Mode Disabled !", Icon::Stop},
                                                       {"Boot Mode has been Enabled !", Icon::Stop},
                                                       {"Reset System(B) !", Icon::Information}}));
    EXPECT_FALSE(comm.portOpen());
    expectIdle();
}

TEST_F(Control, CommandRulesFollowTheFlags) {
    startWithoutBoard();
    EXPECT_TRUE(view->isEnabled(WriteToFlashCommand));
    view->programmingPending = 1;
    EXPECT_FALSE(view->isEnabled(WriteToFlashCommand));
    EXPECT_FALSE(view->runCommand(WriteToFlashCommand)); // dropped without effect
    EXPECT_TRUE(view->isEnabled(FlashCommand));
    EXPECT_FALSE(view->isChecked(WriteToFlashCommand));
    view->programmingPending = 0;
    EXPECT_TRUE(view->runCommand(WriteToFlashCommand));
    EXPECT_EQ(op.texts(), Texts{"System not ready. Please repeat the flash action again !"});

    ByteBuffer buffer{1, 2, 3};
    const std::uint8_t one = 0x42;
    CCorvaneView::loadBytes(buffer, &one, 1);
    EXPECT_EQ(buffer, ByteBuffer{0x42});
    CCorvaneView::loadBytes(buffer, &one, 0);
    EXPECT_TRUE(buffer.empty());
}

TEST_F(Control, BootSettingWithoutHandshakeAnswerIsNotReadyA) {
    startBoard(bootBoard([](BoardOptions& o) { o.noAdjustAnswer = true; }));
    installBootFiles();
    loadImage(pattern(256));
    view->setBootMode();
    EXPECT_EQ(op.texts(), (Texts{"Time out !", "Boot mode System not Ready (A)!"}));
    EXPECT_TRUE(comm.portOpen());
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::BootHandshake);
    EXPECT_GT(view->lastRun().bytesSent, 1) << "0x00 until the chip answers";
    EXPECT_NE(runHints(view->lastRun(), {}).at(1).find("started in the chip's boot mode"),
              std::string::npos);
}

TEST_F(Control, BootSettingWithoutSelectAnswerIsNotReadyB) {
    startBoard(bootBoard([](BoardOptions& o) { o.noSelectAnswer = true; }));
    installBootFiles();
    loadImage(pattern(256));
    view->setBootMode();
    EXPECT_EQ(op.texts(), (Texts{"Time out !", "Boot Mode System not Ready(B) !"}));
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::BootSelect);
}

TEST_F(Control, BootSettingWithoutTheBootProgramFails) {
    startBoard(bootBoard());
    installBootFiles(false, true);
    loadImage(pattern(256));
    view->setBootMode();
    EXPECT_EQ(op.texts(), (Texts{"3062f.bin File Read Error !", "Boot Mode Setting Failed"}));
    EXPECT_EQ(boardSummary().bootDownloads, 0);
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::BootFile);
}

TEST_F(Control, BootSettingWithoutPreFlashFails) {
    startBoard(bootBoard());
    installBootFiles(true, false);
    loadImage(pattern(256));
    view->setBootMode();
    EXPECT_EQ(op.texts(), Texts{"PreFlash.bin File Read Error !"});
    EXPECT_EQ(boardSummary().bootDownloads, 1);
    EXPECT_TRUE(boardSummary().writes.empty());
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::ImageFile);
    EXPECT_EQ(view->lastRun().imageSent, "PreFlash.bin");
}

TEST_F(Control, BootSettingWithWrongEchoesFails) {
    BoardOptions options;
    options.mode = BoardOptions::Mode::Boot;
    options.wrongEchoByte = 5;
    options.wrongEchoCount = 3;
    startBoard(options);
    installBootFiles();
    loadImage(pattern(256));
    view->setBootMode();
    EXPECT_EQ(op.texts(), (Texts{"Receive Error(A)!", "Boot Mode Setting Failed"}));
    expectIdle();
    expectRun(RunCommand::SetBootMode, RunResult::Failed, RunStage::BootDownload);
}

// Stops the programming transfer after a few passes, as the dialog's Stop does.
class StoppingOperator : public RecordingOperator {
public:
    int runExchange(Exchange& exchange) override {
        if (exchange.caption() != "Programming .....") {
            return RecordingOperator::runExchange(exchange);
        }
        exchange.start();
        for (int pass = 0; pass < 6 && exchange.step(); ++pass) {
        }
        exchange.stop();
        return exchange.result();
    }
};

TEST_F(Control, TheOperatorsStopIsToldAsSuchWithWhatItLeftInTheFlash) {
    StoppingOperator stopping;
    startBoard();
    view = std::make_unique<CCorvaneView>(stopping, port, comm, places, timing);
    loadImage(pattern(1024));
    view->flash();
    EXPECT_EQ(stopping.texts(), Texts{"Programming Data Error. Please try again !"});
    const RunRecord& run = view->lastRun();
    EXPECT_EQ(run.result, RunResult::Stopped);
    EXPECT_EQ(stageText(run), "block 3 of 8");
    EXPECT_EQ(runHints(run, {}),
              (Texts{"Stopped by the operator.",
                     "The board's flash is now partly written (the program ended at block 3 of "
                     "8): repeat the run before the board is used."}));
    expectIdle();
}

} // namespace
} // namespace velmora
