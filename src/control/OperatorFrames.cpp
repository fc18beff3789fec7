#include "control/OperatorFrames.hpp"

#include <nlohmann/json.hpp>

namespace qm {
namespace {

using Json = nlohmann::json;

// The deepest nesting of arrays and objects in a JSON text, strings skipped; stops counting past
// the limit. Malformed text is left for the parser to refuse.
int NestingDepth(std::string_view text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > kMaxOperatorNesting) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

bool ParseObject(std::string_view body, Json& out, std::string& error) {
  if (NestingDepth(body) > kMaxOperatorNesting) {
    error = "the message nests deeper than " + std::to_string(kMaxOperatorNesting) + " levels";
    return false;
  }
  out = Json::parse(body.begin(), body.end(), nullptr, false);
  if (out.is_discarded()) {
    error = "the message is not JSON";
    return false;
  }
  if (!out.is_object()) {
    error = "the message is not a JSON object";
    return false;
  }
  return true;
}

}  // namespace

uint32_t DecodeOperatorLength(const uint8_t b[kOperatorLengthSize]) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

std::string ComposeOperatorFrame(const Json& message) {
  std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > kMaxOperatorMessage) text = OperatorFailure("the answer is larger than 64 KiB").dump();
  const auto n = static_cast<uint32_t>(text.size());
  std::string frame{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n >> 16 & 0xFF),
                    static_cast<char>(n >> 24 & 0xFF)};
  return frame + text;
}

FrameCut CutOperatorFrame(std::string_view& stream, std::string& body) {
  if (stream.size() < kOperatorLengthSize) return FrameCut::kNeedMore;
  const uint32_t n = DecodeOperatorLength(reinterpret_cast<const uint8_t*>(stream.data()));
  if (n > kMaxOperatorMessage) return FrameCut::kOversized;
  if (stream.size() - kOperatorLengthSize < n) return FrameCut::kNeedMore;
  body.assign(stream.substr(kOperatorLengthSize, n));
  stream.remove_prefix(kOperatorLengthSize + n);
  return FrameCut::kMessage;
}

OperatorRequestParse ParseOperatorRequest(std::string_view body, Json& request) {
  OperatorRequestParse r;
  if (!ParseObject(body, request, r.error)) return r;
  const auto command = request.find("command");
  if (command == request.end() || !command->is_string()) {
    r.error = "the request names no \"command\"";
    return r;
  }
  r.command = command->get<std::string>();
  r.ok = true;
  return r;
}

bool ParseOperatorAnswer(std::string_view body, Json& answer) {
  std::string ignored;
  return ParseObject(body, answer, ignored);
}

Json OperatorFailure(const std::string& error) { return Json{{"ok", false}, {"error", error}}; }

bool IntArgument(const Json& request, const char* key, int low, int high, int& value, std::string& error) {
  const auto it = request.find(key);
  if (it == request.end() || !it->is_number_integer() || *it < low || *it > high) {
    error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) + " to " +
            std::to_string(high);
    return false;
  }
  value = it->get<int>();
  return true;
}

bool TextArgument(const Json& request, const char* key, std::string& value, std::string& error) {
  const auto it = request.find(key);
  if (it == request.end() || !it->is_string()) {
    error = std::string("\"") + key + "\" must be a text";
    return false;
  }
  value = it->get<std::string>();
  return true;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    // Lead byte and its continuation bytes; only two-byte sequences up to U+00FF map back.
    size_t more = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 0;
    uint32_t code = more == 1 ? c & 0x1F : more == 2 ? c & 0x0F : c & 0x07;
    bool good = more > 0;
    for (size_t k = 1; good && k <= more; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        good = false;
        more = k - 1;
        break;
      }
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    out += good && code <= 0xFF ? static_cast<char>(code) : '?';
    i += more;
  }
  return out;
}

}  // namespace qm
