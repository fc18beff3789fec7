#include "qmctl/Output.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "control/ControlPackets.hpp"

namespace qm::ctl {
namespace {

void AppendUtf8Latin1(std::string& out, unsigned char c) {
  out += static_cast<char>(0xC0 | (c >> 6));
  out += static_cast<char>(0x80 | (c & 0x3F));
}

// Columns on the screen: every byte that does not continue a UTF-8 sequence is one.
size_t DisplayWidth(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!firstInLevel_.empty()) {
    if (!firstInLevel_.back()) text_ += ',';
    firstInLevel_.back() = false;
  }
}

JsonWriter& JsonWriter::Open(char bracket) {
  BeforeValue();
  text_ += bracket;
  firstInLevel_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
  text_ += bracket;
  if (!firstInLevel_.empty()) firstInLevel_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  text_ += JsonQuote(key);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view s) {
  BeforeValue();
  text_ += JsonQuote(s);
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals) {
  BeforeValue();
  if (!std::isfinite(value)) {
    text_ += "null";  // JSON has no NaN or infinity
    return *this;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  text_ += buf;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Escaped rather than raw, so the output is valid UTF-8 whatever the name's bytes.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c >= 0xA0) {
      AppendUtf8Latin1(out, c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

Table::Table(std::vector<std::string> headings, std::vector<bool> rightAligned)
    : headings_(std::move(headings)), right_(std::move(rightAligned)) {
  right_.resize(headings_.size(), false);
}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(headings_.size());
  rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
  std::vector<size_t> width(headings_.size(), 0);
  for (size_t i = 0; i < headings_.size(); ++i) width[i] = DisplayWidth(headings_[i]);
  for (const auto& row : rows_)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], DisplayWidth(row[i]));
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string l;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(width[i] - DisplayWidth(cells[i]), ' ');
      if (i > 0) l += "  ";
      l += right_[i] ? pad + cells[i] : cells[i] + pad;
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out += l + "\n";
  };
  line(headings_);
  for (const auto& row : rows_) line(row);
  return out;
}

std::string IdAndName(int id, const std::string& name) {
  std::string s = std::to_string(id);
  if (!name.empty()) {
    s += ' ';
    s += Printable(name);
  }
  return s;
}

std::string FormatDuration(uint32_t milliseconds) {
  const uint32_t seconds = milliseconds / 1000;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return buf;
}

std::string ReplyCodeText(int code) {
  switch (code) {
    case kReplyServerFull:
      return "server full";
    case kReplyWrongPassword:
      return "wrong server password";
    case kReplySetupRefused:
      return "setup refused";
    case kReplyNoSuchPlayerStats:
      return "no player with that id";
    case kReplyNotAdmin:
      return "not an administrator";
    case kReplyWrongAdminPassword:
      return "wrong administrator password";
    case kReplyChannelExists:
      return "a channel of that name exists";
    case kReplyNoSuchChannel:
      return "no channel with that id";
    case kReplyNoSuchPlayerKick:
      return "no player with that id";
    case kReplyAdminLoginOk:
      return "administrator login accepted";
    case kReplyServerPasswordChanged:
      return "server password changed";
    case kReplyChannelsSaved:
      return "channels saved";
    case kReplyAdminPasswordChanged:
      return "administrator password changed";
    default:
      return "reply code " + std::to_string(code);
  }
}

std::string LeaveReasonText(int reason) {
  switch (reason) {
    case kLeftReasonLeft:
      return "left or disconnected";
    case kLeftReasonPingTimeout:
      return "given up by the keep-alive";
    case kLeftReasonKicked:
      return "kicked by an administrator";
    default:
      return "reason " + std::to_string(reason);
  }
}

}  // namespace qm::ctl
