#include "qmctl/SocketSession.hpp"

#include "control/OperatorFrames.hpp"
#include "platform/OperatorChannel.hpp"

namespace qm::ctl {
namespace {

using platform::ChannelIo;

[[noreturn]] void Broken(const Options& o, ChannelIo io, const std::string& what) {
  if (io == ChannelIo::kTimedOut)
    throw CtlError(kExitTimeout, "no " + what + " within " + std::to_string(o.timeoutMs) + " ms on " + o.socket);
  throw CtlError(kExitConnection, "the server closed " + o.socket + " while qmctl waited for " + what);
}

}  // namespace

nlohmann::json AskOperatorSocket(const Options& o, const nlohmann::json& request) {
  std::unique_ptr<platform::OperatorLink> link;
  try {
    link = platform::ConnectOperatorChannel(o.socket, o.timeoutMs);
  } catch (const platform::OperatorChannelError& e) {
    throw CtlError(kExitConnection, e.what());
  }
  const std::string frame = ComposeOperatorFrame(request);
  // A refused peer gets its answer at once and the close; the answer is read even when the
  // request could not be written whole.
  const ChannelIo sent = link->WriteFull(frame.data(), frame.size(), o.timeoutMs);
  uint8_t head[kOperatorLengthSize];
  size_t got = 0;
  ChannelIo io = link->ReadFull(head, sizeof head, o.timeoutMs, got);
  if (io != ChannelIo::kDone) Broken(o, sent != ChannelIo::kDone ? sent : io, "the answer");
  const uint32_t size = DecodeOperatorLength(head);
  if (size > kMaxOperatorMessage) throw CtlError(kExitFailure, "the server's answer is larger than 64 KiB");
  std::string body(size, '\0');
  if (size > 0) {
    io = link->ReadFull(body.data(), size, o.timeoutMs, got);
    if (io != ChannelIo::kDone) Broken(o, io, "the whole answer");
  }
  nlohmann::json answer;
  if (!ParseOperatorAnswer(body, answer)) throw CtlError(kExitFailure, "the server's answer is not a JSON object");
  if (!answer.value("ok", false)) {
    const auto error = answer.find("error");
    throw CtlError(kExitRefused,
                   "refused: " + (error != answer.end() && error->is_string() ? error->get<std::string>()
                                                                              : std::string("(no reason given)")));
  }
  return answer;
}

std::string TextField(const nlohmann::json& answer, const char* key) {
  const auto it = answer.find(key);
  return it != answer.end() && it->is_string() ? Utf8ToLatin1(it->get<std::string>()) : std::string();
}

}  // namespace qm::ctl
