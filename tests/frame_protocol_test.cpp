// The request frame, through the real binary: arguments, intake, limits, dispatch.
#include "support/bridge.h"

#include <gtest/gtest.h>

namespace calbridge::testing {
namespace {

constexpr char kInvalid[] = R"({"ok":false,"error":"invalid"})";

class Frame : public ::testing::Test, public BridgeFixture {};

TEST_F(Frame, WrongArgumentCountIsInvalidAndLeavesInputUnread) {
  // More than a pipe holds, so an unread input shows as a write that never completed.
  std::string input = "{}" + std::string(300000, ' ');
  for (const auto& arguments : std::vector<std::vector<std::string>>{{}, {"access", "calendars"}, {"access", ""}}) {
    RunResult result = runBridge(arguments, input);
    EXPECT_EQ(result.out, kInvalid);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(result.inputRead) << arguments.size() << " arguments";
  }
}

TEST_F(Frame, UnknownWordsAreInvalidAfterTheWholeInputIsRead) {
  std::string input = "{}" + std::string(300000, ' ');
  // The bridge has no options: its version lives in the binary and the man page.
  for (std::string word :
       {"Access", "ACCESS", "events ", " events", "createevent", "", "help", "access\n", "--version", "--help"}) {
    RunResult result = runBridge({word}, input);
    EXPECT_EQ(result.out, kInvalid) << word;
    EXPECT_EQ(result.status, 1) << word;
    EXPECT_TRUE(result.inputRead) << word;
  }
}

TEST_F(Frame, UnknownWordNeverTouchesTheStore) {
  runBridge({"nope"}, "{}");
  runBridge({}, "{}");
  EXPECT_NE(::access(databasePath().c_str(), F_OK), 0);
}

TEST_F(Frame, InputLimitIsExactlyOneMillionBytes) {
  grantAccess();
  std::string body = R"({"uid":"nothing-here","calendar":"x"})";
  std::string atLimit = body + std::string(1000000 - body.size(), ' ');
  ASSERT_EQ(atLimit.size(), 1000000u);
  Envelope accepted = request("deleteEvent", atLimit);
  EXPECT_TRUE(accepted.ok()) << accepted.raw.out;
  EXPECT_EQ(accepted.data()["deleted"].GetInt(), 0);

  Envelope refused = request("deleteEvent", atLimit + " ");
  EXPECT_EQ(refused.raw.out, kInvalid);
  // Far beyond the limit the input is still read to its end, never kept whole.
  RunResult huge = runBridge({"deleteEvent"}, body + std::string(20000000, ' '));
  EXPECT_EQ(huge.out, kInvalid);
  EXPECT_TRUE(huge.inputRead);
}

TEST_F(Frame, UnusableInputIsTheEmptyRequest) {
  grantAccess();
  std::string calendar = defaultCalendar();
  // "access" reads no field, so every form of input behaves as {}.
  for (std::string input : {"", "{}", "not json", "[1,2,3]", "\"text\"", "{\"a\":", "\xff\xfe"}) {
    Envelope access = request("access", input);
    EXPECT_EQ(access.raw.out, R"({"ok":true,"data":{"granted":true}})") << input;
  }
  // A command that needs fields finds none in an undecodable request.
  std::string good = R"({"from":0,"to":10,"calendars":[")" + calendar + R"("]})";
  EXPECT_TRUE(request("events", good).ok());
  for (std::string broken : {good + "x", "[" + good + "]", good.substr(0, good.size() - 1)}) {
    EXPECT_EQ(request("events", broken).raw.out, kInvalid) << broken;
  }
}

TEST_F(Frame, ReplyIsOneCompactObjectWithoutNewline) {
  grantAccess();
  Envelope calendars = request("calendars", "");
  ASSERT_TRUE(calendars.ok());
  EXPECT_EQ(calendars.raw.out.find('\n'), std::string::npos);
  EXPECT_EQ(calendars.raw.out.find(": "), std::string::npos);
  EXPECT_EQ(calendars.raw.out.front(), '{');
  EXPECT_EQ(calendars.raw.out.back(), '}');
}

}  // namespace
}  // namespace calbridge::testing
