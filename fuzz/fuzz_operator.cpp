// The operator socket's parser: a byte stream cut into messages, each taken apart as a request and
// its arguments read as the server reads them; every answer composed from what was read must cut
// and parse back to itself, and the texts' Latin-1 round trip must give the bytes back.
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "control/OperatorFrames.hpp"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_operator: %s\n", what);
  std::abort();
}

void RoundTrip(const nlohmann::json& answer) {
  const std::string frame = qm::ComposeOperatorFrame(answer);
  std::string_view view(frame);
  std::string body;
  Check(qm::CutOperatorFrame(view, body) == qm::FrameCut::kMessage && view.empty(), "a composed frame does not cut");
  nlohmann::json back;
  Check(qm::ParseOperatorAnswer(body, back), "a composed answer does not parse");
  Check(back == answer || !back.value("ok", true), "a composed answer does not parse back to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Check(qm::Utf8ToLatin1(qm::Latin1ToUtf8(bytes)) == bytes, "Latin-1 does not survive UTF-8");
  Check(qm::Utf8ToLatin1(bytes).size() <= bytes.size(), "malformed UTF-8 grew");

  std::string_view stream(bytes);
  std::string body;
  for (int messages = 0; messages < 64; ++messages) {
    const size_t before = stream.size();
    const qm::FrameCut cut = qm::CutOperatorFrame(stream, body);
    if (cut != qm::FrameCut::kMessage) {
      Check(stream.size() == before, "a message that was not cut consumed bytes");
      break;
    }
    Check(before - stream.size() == qm::kOperatorLengthSize + body.size(), "a cut took other than its length");
    Check(body.size() <= qm::kMaxOperatorMessage, "a cut message is over the limit");

    nlohmann::json request;
    const qm::OperatorRequestParse parsed = qm::ParseOperatorRequest(body, request);
    if (!parsed.ok) {
      Check(!parsed.error.empty(), "a refused request has no reason");
      RoundTrip(qm::OperatorFailure(parsed.error));
      continue;
    }
    nlohmann::json answer{{"ok", true}, {"command", parsed.command}};
    int number = 0;
    std::string text, error;
    for (const char* key : {"player", "channel"}) {
      if (qm::IntArgument(request, key, 1, 255, number, error)) {
        Check(number >= 1 && number <= 255, "a number outside its range was taken");
        answer[key] = number;
      }
    }
    for (const char* key : {"name", "password"})
      if (qm::TextArgument(request, key, text, error)) answer[key] = qm::Latin1ToUtf8(qm::Utf8ToLatin1(text));
    RoundTrip(answer);
  }
  return 0;
}
