#pragma once
// What qmctl prints: JSON for scripts, aligned tables for people, and the words for the
// protocol's numbers (reply codes, leave reasons, durations).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::ctl {

// A JSON text built in one pass; commas and escapes are handled here so callers only name
// keys and values. Names on the wire are single-byte characters and are taken as Latin-1.
class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Int(int64_t value);
  JsonWriter& Number(double value, int decimals);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  const std::string& Text() const { return text_; }

 private:
  void BeforeValue();
  JsonWriter& Open(char bracket);
  JsonWriter& Close(char bracket);

  std::string text_;
  std::vector<bool> firstInLevel_;  // one flag per open object or array
  bool afterKey_ = false;
};

// A JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

// Text from the wire made safe for a terminal: Latin-1 letters become UTF-8, control bytes
// (which a hostile player name could use to drive the operator's terminal) become \xNN.
std::string Printable(std::string_view text);

// Columns padded to their widest cell; numeric columns are right-aligned.
class Table {
 public:
  explicit Table(std::vector<std::string> headings, std::vector<bool> rightAligned = {});
  void AddRow(std::vector<std::string> cells);
  std::string Render() const;

 private:
  std::vector<std::string> headings_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

// An id followed by its name when the name is known: "3 alice", or "3".
std::string IdAndName(int id, const std::string& name);

// Milliseconds as h:mm:ss (hours not limited to two digits).
std::string FormatDuration(uint32_t milliseconds);
// The meaning of a reply code, e.g. -101 "wrong administrator password".
std::string ReplyCodeText(int code);
// The reason byte of a player-left notification in words.
std::string LeaveReasonText(int reason);

}  // namespace qm::ctl
