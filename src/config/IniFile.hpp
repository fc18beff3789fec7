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
// are kept as they are; a written value ends at its first line break, so it cannot add lines;
// a new section is set off from the one before by a blank line; for duplicate keys the first one
// is read and replaced. A rewrite goes through a temporary file beside it and a rename, falling
// back to writing in place when the folder does not allow that. A file marked read-only (no write
// bit for anyone, or the read-only attribute) refuses every write and erase, also to root. A new
// file is readable by its owner only (it holds the passwords); an existing one keeps its mode.
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

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

 private:
  std::string path_;
};

// Parses an INI integer the way ReadInteger does; false when the text is not one.
bool ParseIniInteger(const std::string& text, int32_t& out);

}  // namespace qm
