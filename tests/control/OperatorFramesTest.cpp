// The operator socket's framing and texts: lengths little-endian, cuts that take exactly one
// message, and the clients' single-byte texts carried as UTF-8 and back.
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "control/OperatorFrames.hpp"

namespace qm {
namespace {

TEST(OperatorFramesTest, MessagesAreCutByTheirLittleEndianLengthAndNoFurther) {
  const std::string one = ComposeOperatorFrame(nlohmann::json{{"command", "who"}});
  ASSERT_EQ(one.size(), 4u + 17u);
  EXPECT_EQ(one.substr(0, 4), std::string("\x11\x00\x00\x00", 4));
  const std::string two = ComposeOperatorFrame(nlohmann::json{{"command", "stats"}, {"player", 3}});
  const std::string stream = one + two;
  std::string body;
  for (size_t cut = 0; cut < one.size(); ++cut) {
    std::string_view part(stream.data(), cut);
    EXPECT_EQ(CutOperatorFrame(part, body), FrameCut::kNeedMore) << cut;
    EXPECT_EQ(part.size(), cut);  // nothing taken from an incomplete message
  }
  std::string_view view(stream);
  ASSERT_EQ(CutOperatorFrame(view, body), FrameCut::kMessage);
  EXPECT_EQ(body, R"({"command":"who"})");
  ASSERT_EQ(CutOperatorFrame(view, body), FrameCut::kMessage);
  EXPECT_EQ(body, R"({"command":"stats","player":3})");
  EXPECT_TRUE(view.empty());

  std::string_view limit("\x00\x00\x01\x00", 4);  // exactly 64 KiB announced: wait for it
  EXPECT_EQ(CutOperatorFrame(limit, body), FrameCut::kNeedMore);
  std::string_view over("\x01\x00\x01\x00", 4);
  EXPECT_EQ(CutOperatorFrame(over, body), FrameCut::kOversized);
}

TEST(OperatorFramesTest, RequestsNeedAnObjectWithACommandAndArgumentsInRange) {
  nlohmann::json request;
  EXPECT_EQ(ParseOperatorRequest("", request).error, "the message is not JSON");
  EXPECT_EQ(ParseOperatorRequest("\"who\"", request).error, "the message is not a JSON object");
  EXPECT_EQ(ParseOperatorRequest(R"({"command":7})", request).error, "the request names no \"command\"");
  EXPECT_EQ(ParseOperatorRequest(R"({"a":)" + std::string(17, '[') + std::string(17, ']') + "}", request).error,
            "the message nests deeper than 16 levels");
  // Brackets inside a text are text.
  const auto parsed = ParseOperatorRequest(R"({"command":"create","name":"[[[[[[[[[[[[[[[[[[[[x"})", request);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.command, "create");

  int value = 0;
  std::string error;
  for (const char* bad : {R"({"player":0})", R"({"player":256})", R"({"player":"3"})", R"({"player":3.5})", "{}"}) {
    EXPECT_FALSE(IntArgument(nlohmann::json::parse(bad), "player", 1, 255, value, error)) << bad;
    EXPECT_EQ(error, "\"player\" must be a whole number from 1 to 255");
  }
  EXPECT_TRUE(IntArgument(nlohmann::json::parse(R"({"player":255})"), "player", 1, 255, value, error));
  EXPECT_EQ(value, 255);
  std::string text;
  EXPECT_FALSE(TextArgument(nlohmann::json::parse(R"({"name":4})"), "name", text, error));
  EXPECT_EQ(error, "\"name\" must be a text");
}

TEST(OperatorFramesTest, SingleByteTextsTravelAsUtf8AndBack) {
  EXPECT_EQ(Latin1ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
  EXPECT_EQ(Utf8ToLatin1("Caf\xC3\xA9"), "Caf\xE9");
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(all)), all);
  // Beyond Latin-1, cut off or malformed: one '?' each, nothing read past the end.
  EXPECT_EQ(Utf8ToLatin1("snow\xE2\x98\x83man"), "snow?man");
  EXPECT_EQ(Utf8ToLatin1("x\xC3"), "x?");
  EXPECT_EQ(Utf8ToLatin1("\xE2\x98"), "?");
  EXPECT_EQ(Utf8ToLatin1("\x80z"), "?z");
  // An answer holding any byte composes to valid JSON.
  const std::string frame = ComposeOperatorFrame(nlohmann::json{{"name", Latin1ToUtf8(all)}});
  nlohmann::json back;
  ASSERT_TRUE(ParseOperatorAnswer(std::string_view(frame).substr(4), back));
  EXPECT_EQ(Utf8ToLatin1(back["name"].get<std::string>()), all);
}

}  // namespace
}  // namespace qm
