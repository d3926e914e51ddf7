// The history file: rows written whole, read back through the filters, from
// several files as one; the times the filters take.

#include "cli/history_db.h"
#include "support/test_files.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

namespace fs = std::filesystem;
using namespace velmora::cli;

HistoryRow rowAt(const std::string& start, const std::string& port, bool programmed,
                 const std::string& sha = "ab12cd") {
    BoardRecord record;
    record.port = port;
    record.startTime = start;
    record.endTime = start;
    record.seconds = 1.25;
    record.programmed = programmed;
    record.messages = {"first, with a comma", "second \"quoted\""};
    HistoryContext context;
    context.station = "bench-a";
    context.command = "flash";
    context.program = "blink.mot";
    context.imageSha256 = sha;
    context.usbSerial = port == "/dev/ttyUSB0" ? "A10K3QZ1" : "";
    context.stage = "Programming .....";
    context.cause = "Receive Error(B) !";
    return historyRowOf(record, context);
}

TEST(History, RowsComeBackThroughEveryFilterAndAFailureKeepsItsStageAndCause) {
    const fs::path dir = velmora::testing::freshTestFolder("velmora-history");
    HistoryDb db;
    ASSERT_TRUE(db.open((dir / "h.sqlite").string())) << db.error();
    ASSERT_TRUE(db.add(rowAt("2026-12-09T10:00:00.000Z", "/dev/ttyUSB0", true)));
    ASSERT_TRUE(db.add(rowAt("2026-12-10T09:00:00.000Z", "/dev/ttyUSB1", false)));
    ASSERT_TRUE(db.add(rowAt("2026-12-10T11:00:00.000Z", "/dev/ttyUSB0", true, "ff00")));

    // The rows that pass one filter: the filter's field and its value.
    auto only = [](std::string HistoryDb::Filter::*field, const std::string& value) {
        HistoryDb::Filter filter;
        filter.*field = value;
        return filter;
    };
    auto read = [&](HistoryDb::Filter filter) {
        std::vector<HistoryRow> rows;
        EXPECT_TRUE(db.read(filter, rows)) << db.error();
        std::string starts;
        for (const HistoryRow& row : rows) {
            starts += row.start.substr(8, 5) + " ";
        }
        return starts;
    };
    EXPECT_EQ(read(HistoryDb::Filter{}), "09T10 10T09 10T11 ");
    EXPECT_EQ(read(only(&HistoryDb::Filter::since, "2026-12-10")), "10T09 10T11 ");
    EXPECT_EQ(read(only(&HistoryDb::Filter::until, "2026-12-10T10")), "09T10 10T09 ");
    EXPECT_EQ(read(only(&HistoryDb::Filter::result, "failed")), "10T09 ");
    EXPECT_EQ(read(only(&HistoryDb::Filter::port, "A10K3QZ1")),
              "09T10 10T11 "); // the adapter's serial number
    EXPECT_EQ(read(only(&HistoryDb::Filter::port, "/dev/ttyUSB1")), "10T09 ");
    EXPECT_EQ(read(only(&HistoryDb::Filter::image, "ff")), "10T11 ");

    std::vector<HistoryRow> rows;
    ASSERT_TRUE(db.read(only(&HistoryDb::Filter::result, "failed"), rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].stage, "Programming .....");
    EXPECT_EQ(rows[0].cause, "Receive Error(B) !");
    EXPECT_EQ(rows[0].messages,
              (std::vector<std::string>{"first, with a comma", "second \"quoted\""}));
    EXPECT_EQ(rows[0].station, "bench-a");
    EXPECT_DOUBLE_EQ(rows[0].seconds, 1.25);
    // A board that was programmed has no stage or cause of a failure.
    rows.clear();
    ASSERT_TRUE(db.read(only(&HistoryDb::Filter::port, "A10K3QZ1"), rows));
    EXPECT_EQ(rows[0].stage, "");
    EXPECT_EQ(rows[0].cause, "");

    // The file keeps its log beside it and says so.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "h.sqlite").string().c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* mode = nullptr;
    sqlite3_prepare_v2(raw, "PRAGMA journal_mode", -1, &mode, nullptr);
    ASSERT_EQ(sqlite3_step(mode), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal");
    sqlite3_finalize(mode);
    sqlite3_close(raw);
    fs::remove_all(dir);
}

TEST(History, AFileThatIsNotThereOrNotAHistoryIsNamed) {
    const fs::path dir = velmora::testing::freshTestFolder("velmora-history-bad");
    HistoryDb absent;
    EXPECT_FALSE(absent.openToRead((dir / "none.sqlite").string()));
    EXPECT_EQ(absent.error(), "history " + (dir / "none.sqlite").string() + ": no such file");
    EXPECT_FALSE(fs::exists(dir / "none.sqlite")); // reading makes no file

    velmora::testing::writeText(dir / "text.sqlite", "a text file, not a database at all\n");
    HistoryDb text;
    EXPECT_FALSE(text.open((dir / "text.sqlite").string()));
    EXPECT_NE(text.error().find("history " + (dir / "text.sqlite").string() + ": cannot"),
              std::string::npos)
        << text.error();
    HistoryDb folder;
    EXPECT_FALSE(folder.open(dir.string()));
    fs::remove_all(dir);
}

TEST(History, AnAdapterLinkLeadsToTheUsbIdentityOfItsDevice) {
    // As udev makes them: /dev/serial/by-id/usb-...-port0 -> ../../ttyUSB7.
    const fs::path dir = velmora::testing::freshTestFolder("velmora-history-usb");
    fs::create_directories(dir / "serial" / "by-id");
    velmora::testing::writeText(dir / "ttyUSB7", "");
    const fs::path link = dir / "serial" / "by-id" / "usb-FTDI_FT232R_A10K3QZ1-if00-port0";
    fs::create_symlink("../../ttyUSB7", link);
    velmora::PortInfo ftdi;
    ftdi.device = (dir / "ttyUSB7").string();
    ftdi.vendorId = 0x0403;
    ftdi.productId = 0x6001;
    ftdi.serialNumber = "A10K3QZ1";
    velmora::PortInfo onBoard;
    onBoard.device = (dir / "ttyS0").string();
    HistoryContext context;
    adapterIdentity(link.string(), {onBoard, ftdi}, context);
    EXPECT_EQ(context.usbVendor + ":" + context.usbProduct + " " + context.usbSerial,
              "0403:6001 A10K3QZ1");
    HistoryContext none;
    adapterIdentity((dir / "serial" / "by-id" / "gone").string(), {onBoard, ftdi}, none);
    EXPECT_EQ(none.usbVendor + none.usbProduct + none.usbSerial, "");
    fs::remove_all(dir);
}

TEST(History, TimesAreDatesDateTimesOrSpansBack) {
    EXPECT_EQ(historyTime("2026-12-10"), "2026-12-10");
    EXPECT_EQ(historyTime("2026-12-10 08:30"), "2026-12-10T08:30");
    EXPECT_EQ(historyTime("2026-12-10T08:30:05Z"), "2026-12-10T08:30:05");
    EXPECT_EQ(historyTime("yesterday"), "");
    EXPECT_EQ(historyTime("2026-1-10"), "");
    EXPECT_EQ(historyTime("12x"), "");
    const std::string dayAgo = historyTime("1d");
    const std::string hourAgo = historyTime("60m");
    ASSERT_EQ(dayAgo.size(), 19u);
    EXPECT_LT(dayAgo, hourAgo);
    EXPECT_LT(hourAgo, historyTime("0s"));
}

} // namespace
