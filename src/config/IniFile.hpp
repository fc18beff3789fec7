#pragma once
// The INI file layer, one implementation for both systems so they behave alike. Each call opens
// the file afresh (reads never keep a handle; writes read, change and rewrite the whole file),
// the way the system's profile-string functions work.
//
// Semantics: section and key names match without regard to case; blanks around a value are not
// part of it; a value is cut at 2047 characters; a write replaces a key's value in place or adds
// the key at the end of its section, a missing section is appended at the end of the file, a
// missing file is created; an erase removes a whole section with its keys. A write or erase the
// system refuses throws EConfigError. Reading a missing file gives every default.
//
// Our own choices: the file is written with CR LF line ends (either is read); quotes in a value
// are kept as they are; a written value ends at its first line break (so it cannot add lines)
// or NUL; a new section is set off from the one before by a blank line; for duplicate keys the
// first one is read and replaced. A change that leaves the file as it was writes nothing. A
// rewrite goes into a new file beside it under a name nobody can guess and is renamed over it
// (platform's ReplaceFileSafely), falling back to writing in place when the folder does not
// allow a new file; a file that is a link is never written (refused, logged, left as it is). A
// file marked read-only (no write bit for anyone, or the read-only attribute) refuses every
// write and erase, also to root. A new file is readable by its owner only (it holds the
// passwords); an existing one keeps its mode and owner (its access list on Windows).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// One change of a batch: a key set to a value, a whole section erased, or a section's keys
// erased with its place, comments and blank lines kept (so a section rewritten with what it
// held comes out as it was).
struct IniChange {
  enum class Kind { kSet, kEraseSection, kClearKeys };
  std::string section;
  std::string key;
  std::string value;
  Kind kind = Kind::kSet;
  static IniChange Erase(std::string section) { return {std::move(section), {}, {}, Kind::kEraseSection}; }
  static IniChange ClearKeys(std::string section) { return {std::move(section), {}, {}, Kind::kClearKeys}; }
};

// Files and bytes this process has written through IniFile, for figures and tests.
struct IniWriteTally {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

class IniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;

  explicit IniFile(std::string path);
  const std::string& Path() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Decimal, or hexadecimal with a "0x" or "$" prefix; anything else (or out of 32-bit range)
  // gives the default. Hexadecimal is a 32-bit pattern, so "0xFFFFFFFF" is -1.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Read as an integer with the default 0/1; non-zero is true; "true" is not a number.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  bool KeyExists(const std::string& section, const std::string& key) const;
  std::vector<std::string> SectionKeys(const std::string& section) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1"/"0"
  void EraseSection(const std::string& section);
  // Applies the changes in order and writes the file once, or not at all when they leave it as
  // it was (true when written). Refused as a whole, before anything changes, like one write.
  bool Apply(const std::vector<IniChange>& changes);

  // True when the value, written and read back, is the same text: no line break (CR or LF ends
  // the line), no NUL, no blank (space or tab) at either end (reading drops them), not longer
  // than kMaxValueLength. Any other byte, an inner tab or control character included, is held.
  static bool HoldsExactly(std::string_view value);
  // Removes the temporaries a rewrite of this file left when it was cut short (a crash or a kill
  // between create and rename): regular files named as ReplaceFileSafely names them, beside it.
  // Links and every other name are left alone. Logs one line naming what it removed (and one
  // for what it could not); returns the names removed.
  std::vector<std::string> RemoveStaleTemporaries() const;
  static IniWriteTally WriteTally();

 private:
  std::string path_;
};

// Parses an INI integer the way ReadInteger does; false when the text is not one.
bool ParseIniInteger(const std::string& text, int32_t& out);

}  // namespace qm
