#pragma once
// The operator socket's messages (docs/operator-socket.md): each a 4-byte little-endian length,
// then that many bytes of UTF-8 JSON holding one object. Requests name a command
// ({"command":"who"}, arguments as further fields); answers are {"ok":true,...} or
// {"ok":false,"error":"text"}. Composed and taken apart here only, for the server and qmctl.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace qm {

inline constexpr size_t kOperatorLengthSize = 4;
// The most a message may hold; a longer announced length ends the connection.
inline constexpr size_t kMaxOperatorMessage = 64 * 1024;
// Arrays and objects inside one another: more is refused before parsing, so no message can
// make the parser recurse deep enough to matter.
inline constexpr int kMaxOperatorNesting = 16;

uint32_t DecodeOperatorLength(const uint8_t bytes[kOperatorLengthSize]);
// The length prefix and the JSON text of message. Text that is not valid UTF-8 is replaced,
// never thrown on.
std::string ComposeOperatorFrame(const nlohmann::json& message);

// Cuts the first whole message off the front of a byte stream.
enum class FrameCut { kNeedMore, kMessage, kOversized };
FrameCut CutOperatorFrame(std::string_view& stream, std::string& body);

// A request's body taken apart: the command, or why it is no request.
struct OperatorRequestParse {
  bool ok = false;
  std::string command;
  std::string error;  // when not ok, for the error answer
};
OperatorRequestParse ParseOperatorRequest(std::string_view body, nlohmann::json& request);
// An answer's body taken apart (qmctl): false when it is not a JSON object.
bool ParseOperatorAnswer(std::string_view body, nlohmann::json& answer);

nlohmann::json OperatorFailure(const std::string& error);

// Reading a request's arguments: false with error set when the field is missing or wrong.
bool IntArgument(const nlohmann::json& request, const char* key, int low, int high, int& value, std::string& error);
bool TextArgument(const nlohmann::json& request, const char* key, std::string& value, std::string& error);

// Names and other texts travel in single-byte characters on the clients' wire and in UTF-8 on the
// operator's: Latin-1 both ways; a character outside it becomes '?'.
std::string Latin1ToUtf8(std::string_view text);
std::string Utf8ToLatin1(std::string_view text);

}  // namespace qm
