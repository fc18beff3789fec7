#include "config/IniFile.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/Ascii.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Administration commands write from several threads; one lock keeps each read-change-write
// whole so two of them cannot lose each other's change or share the temporary file.
std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

[[noreturn]] void RefuseWrite(const std::string& pathText) { throw EConfigError("Unable to write to " + pathText); }

std::string_view TrimBlanks(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

enum class LineKind { Other, Section, Key };

struct IniLine {
  LineKind kind = LineKind::Other;
  std::string_view name;
  std::string_view value;  // already trimmed
  size_t valuePos = 0;     // where the value starts in the raw line, blanks after '=' kept
};

IniLine Classify(std::string_view raw, bool firstLine) {
  IniLine line;
  size_t offset = (firstLine && raw.substr(0, kByteOrderMark.size()) == kByteOrderMark) ? kByteOrderMark.size() : 0;
  offset = raw.find_first_not_of(kBlanks, offset);
  if (offset == std::string_view::npos || raw[offset] == ';') return line;
  const std::string_view text = raw.substr(offset);
  if (text[0] == '[') {
    const size_t close = text.find(']');
    line.kind = LineKind::Section;
    line.name = TrimBlanks(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return line;
  }
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) return line;
  line.name = TrimBlanks(text.substr(0, equals));
  if (line.name.empty()) return line;
  line.kind = LineKind::Key;
  const size_t afterEquals = offset + equals + 1;
  line.valuePos = std::min(raw.size(), raw.find_first_not_of(kBlanks, afterEquals));
  line.value = TrimBlanks(raw.substr(afterEquals));
  return line;
}

using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& content) {
  Lines lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// Lines of the file; nothing when it is missing, none when it cannot be read.
enum class LoadResult { Loaded, Missing, Unreadable };

LoadResult LoadLines(const std::string& pathText, Lines& lines) {
  const fs::path path(pathText);
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return LoadResult::Missing;
  if (ec || fs::is_directory(status)) return LoadResult::Unreadable;
  std::ifstream in(path, std::ios::binary);
  if (!in) return LoadResult::Unreadable;
  const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return LoadResult::Unreadable;
  lines = SplitLines(content);
  return LoadResult::Loaded;
}

Lines LoadForRead(const std::string& path) {
  Lines lines;
  LoadLines(path, lines);
  return lines;
}

// A change built on a file we could not read would wipe it, so that refuses like a write.
Lines LoadForUpdate(const std::string& path, bool& missing) {
  Lines lines;
  const LoadResult result = LoadLines(path, lines);
  if (result == LoadResult::Unreadable) RefuseWrite(path);
  missing = result == LoadResult::Missing;
  return lines;
}

// The value of the first matching key in any matching section.
std::optional<std::string_view> FindValue(const Lines& lines, const std::string& section, const std::string& key) {
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::Section)
      inSection = EqualsNoCase(line.name, section);
    else if (inSection && line.kind == LineKind::Key && EqualsNoCase(line.name, key))
      return line.value;
  }
  return std::nullopt;
}

bool IsBlankLine(const std::string& line) { return TrimBlanks(line).empty(); }

void SetKey(Lines& lines, const std::string& section, const std::string& key, const std::string& value) {
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::Section) {
      inSection = EqualsNoCase(line.name, section);
    } else if (inSection && line.kind == LineKind::Key && EqualsNoCase(line.name, key)) {
      lines[i] = lines[i].substr(0, line.valuePos) + value;
      return;
    }
  }
  // A new key goes after the last key of the first matching section, so blank lines and comments
  // that lead into the next section stay with it.
  std::optional<size_t> insertAt;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::Section) {
      if (insertAt) break;
      if (EqualsNoCase(line.name, section)) insertAt = i + 1;
    } else if (insertAt && line.kind == LineKind::Key) {
      insertAt = i + 1;
    }
  }
  if (insertAt) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*insertAt), key + "=" + value);
    return;
  }
  if (!lines.empty() && !IsBlankLine(lines.back())) lines.emplace_back();
  lines.push_back("[" + section + "]");
  lines.push_back(key + "=" + value);
}

bool RemoveSection(Lines& lines, const std::string& section) {
  Lines kept;
  bool inSection = false;
  bool removed = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::Section) inSection = EqualsNoCase(line.name, section);
    if (inSection)
      removed = true;
    else
      kept.push_back(std::move(lines[i]));
  }
  lines = std::move(kept);
  return removed;
}

bool WriteWhole(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return !out.fail();
}

// The file's own mark decides (no write bit for anyone; the read-only attribute on Windows), not
// whether this process may open it: root opens anything, and a rename replaces anything.
bool MarkedReadOnly(const fs::file_status& status) {
  constexpr fs::perms kAnyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  return (status.permissions() & kAnyWrite) == fs::perms::none;
}

struct WriteTarget {
  fs::path path;  // the file a link points at, not the link
  bool existed = false;
  fs::perms permissions = fs::perms::none;
};

// Decided before anything is read, changed, erased or renamed, so a refusal changes nothing.
WriteTarget CheckWritable(const std::string& pathText) {
  WriteTarget target{fs::path(pathText)};
  std::error_code ec;
  if (fs::is_symlink(target.path, ec)) {
    fs::path resolved = fs::canonical(target.path, ec);
    if (!ec) target.path = resolved;
  }
  const fs::file_status status = fs::status(target.path, ec);
  target.existed = fs::exists(status);
  if (!target.existed) return target;
  if (fs::is_directory(status) || MarkedReadOnly(status)) RefuseWrite(pathText);
  std::ofstream probe(target.path, std::ios::binary | std::ios::app);
  if (!probe) RefuseWrite(pathText);
  target.permissions = status.permissions();
  return target;
}

// Writes beside the file and renames over it, so a crash leaves the old file or the new one,
// never half of one. The temporary is private from its first byte and takes the old file's mode
// before the content goes in; a new file stays private. False when the directory does not allow
// it; the caller then writes in place.
bool ReplaceThroughTemporary(const WriteTarget& target, const std::string& content) {
  fs::path temporary = target.path;
  temporary += ".tmp";
  std::error_code ec;
  fs::remove(temporary, ec);  // a leftover (or a planted link) is not reused
  if (!platform::CreatePrivateFile(temporary.string())) return false;
  if (target.existed) fs::permissions(temporary, target.permissions, ec);
  if (!WriteWhole(temporary, content)) {
    fs::remove(temporary, ec);
    return false;
  }
  fs::rename(temporary, target.path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

void SaveLines(const std::string& pathText, const WriteTarget& target, const Lines& lines) {
  std::string content;
  for (const auto& line : lines) {
    content += line;
    content += "\r\n";
  }
  if (ReplaceThroughTemporary(target, content)) return;
  if (!target.existed && !platform::CreatePrivateFile(target.path.string())) RefuseWrite(pathText);
  if (!WriteWhole(target.path, content)) RefuseWrite(pathText);
}

}  // namespace

bool ParseIniInteger(const std::string& text, int32_t& out) {
  std::string_view s = TrimBlanks(text);
  bool negative = false;
  int base = 10;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (!s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  // Hexadecimal is a 32-bit pattern ("0xFFFFFFFF" is -1); decimal must fit the signed range.
  const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t magnitude = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f')
      digit = AsciiLower(c) - 'a' + 10;
    else
      return false;
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (magnitude > limit) return false;
  }
  if (base == 16)
    out = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
  else
    out = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
  return true;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  std::lock_guard<std::mutex> lock(FileLock());
  const Lines lines = LoadForRead(path_);
  const auto value = FindValue(lines, section, key);
  if (!value) return def;
  return std::string(value->substr(0, kMaxValueLength));
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  int32_t value;
  return ParseIniInteger(ReadString(section, key, std::string()), value) ? value : def;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::KeyExists(const std::string& section, const std::string& key) const {
  std::lock_guard<std::mutex> lock(FileLock());
  return FindValue(LoadForRead(path_), section, key).has_value();
}

std::vector<std::string> IniFile::SectionKeys(const std::string& section) const {
  std::lock_guard<std::mutex> lock(FileLock());
  const Lines lines = LoadForRead(path_);
  std::vector<std::string> keys;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::Section) {
      inSection = EqualsNoCase(line.name, section);
    } else if (inSection && line.kind == LineKind::Key) {
      bool seen = false;
      for (const auto& k : keys) seen = seen || EqualsNoCase(k, line.name);
      if (!seen) keys.emplace_back(line.name);
    }
  }
  return keys;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  // A line break in a value would smuggle extra lines (keys, sections) into the file.
  const std::string oneLine = value.substr(0, value.find_first_of("\r\n"));
  std::lock_guard<std::mutex> lock(FileLock());
  const WriteTarget target = CheckWritable(path_);
  bool missing = false;
  Lines lines = LoadForUpdate(path_, missing);
  SetKey(lines, section, key, oneLine);
  SaveLines(path_, target, lines);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::EraseSection(const std::string& section) {
  std::lock_guard<std::mutex> lock(FileLock());
  const WriteTarget target = CheckWritable(path_);
  bool missing = false;
  Lines lines = LoadForUpdate(path_, missing);
  if (missing || !RemoveSection(lines, section)) return;
  SaveLines(path_, target, lines);
}

}  // namespace qm
