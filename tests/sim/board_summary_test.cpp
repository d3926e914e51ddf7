// The summary velmora-sim writes, read back by a JSON parser.
#include "sim/board_summary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace velmora;

TEST(BoardSummary, ReadsBackWithEveryTextAndNumberIntact) {
    BoardSummary summary;
    summary.mode = "user";
    summary.completedWrites = 1;
    summary.bytesReceived = 300;
    summary.linkDropped = true;
    summary.faultsInjected = {"NAK on \"block\" 3\\4\n\tnext\x01", "bad byte \xff here"};
    MessageRecord message;
    message.kind = "trigger word";
    message.bytes = 7;
    message.bauds = {2400, 9600};
    message.result = "accepted: reflshu (Flash)";
    summary.messages = {message};
    WriteRecord good;
    good.checksumExpected = good.checksumReceived = 0x5A;
    WriteRecord none; // no closing message came
    summary.writes = {good, none};

    const auto json = nlohmann::json::parse(summary.toJson());
    EXPECT_EQ(json["mode"], "user");
    EXPECT_EQ(json["completedWrites"], 1);
    EXPECT_EQ(json["bytesReceived"], 300);
    EXPECT_EQ(json["linkDropped"], true);
    EXPECT_EQ(json["faultsInjected"][0], "NAK on \"block\" 3\\4\n\tnext\x01");
    // A byte that is not UTF-8 is replaced, never written raw or lost with the rest.
    EXPECT_EQ(json["faultsInjected"][1], "bad byte \xef\xbf\xbd here");
    EXPECT_EQ(json["messages"][0]["kind"], "trigger word");
    EXPECT_EQ(json["messages"][0]["bauds"], nlohmann::json::array({2400, 9600}));
    EXPECT_EQ(json["messages"][0]["reply"], -1);
    EXPECT_EQ(json["writes"][0]["checksumOk"], true);
    EXPECT_EQ(json["writes"][1]["checksumOk"], false);
    EXPECT_EQ(json["writes"][1]["checksumReceived"], -1);
    EXPECT_EQ(json["writes"][1]["outcome"], "in progress");
}
