#include "config/IniFile.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string_view>

#include "log/Log.hpp"
#include "platform/Ascii.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

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

enum class LineKind { kOther, kSection, kKey };

struct IniLine {
  LineKind kind = LineKind::kOther;
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
    line.kind = LineKind::kSection;
    line.name = TrimBlanks(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return line;
  }
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) return line;
  line.name = TrimBlanks(text.substr(0, equals));
  if (line.name.empty()) return line;
  line.kind = LineKind::kKey;
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
enum class LoadResult { kLoaded, kMissing, kUnreadable };

LoadResult LoadLines(const std::string& pathText, Lines& lines) {
  const fs::path path(pathText);
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return LoadResult::kMissing;
  if (ec || fs::is_directory(status)) return LoadResult::kUnreadable;
  std::ifstream in(path, std::ios::binary);
  if (!in) return LoadResult::kUnreadable;
  const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return LoadResult::kUnreadable;
  lines = SplitLines(content);
  return LoadResult::kLoaded;
}

Lines LoadForRead(const std::string& path) {
  Lines lines;
  LoadLines(path, lines);
  return lines;
}

// The value of the first matching key in any matching section.
std::optional<std::string_view> FindValue(const Lines& lines, const std::string& section, const std::string& key) {
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::kSection)
      inSection = EqualsNoCase(line.name, section);
    else if (inSection && line.kind == LineKind::kKey && EqualsNoCase(line.name, key))
      return line.value;
  }
  return std::nullopt;
}

bool IsBlankLine(const std::string& line) { return TrimBlanks(line).empty(); }

void SetKey(Lines& lines, const std::string& section, const std::string& key, const std::string& value) {
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::kSection) {
      inSection = EqualsNoCase(line.name, section);
    } else if (inSection && line.kind == LineKind::kKey && EqualsNoCase(line.name, key)) {
      lines[i] = lines[i].substr(0, line.valuePos) + value;
      return;
    }
  }
  // A new key goes after the last key of the first matching section, so blank lines and comments
  // that lead into the next section stay with it; in a section without keys, after the comments
  // right under its name.
  std::optional<size_t> insertAt;
  bool sawKey = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::kSection) {
      if (insertAt) break;
      if (EqualsNoCase(line.name, section)) insertAt = i + 1;
    } else if (insertAt && line.kind == LineKind::kKey) {
      insertAt = i + 1;
      sawKey = true;
    } else if (insertAt && !sawKey && *insertAt == i && !IsBlankLine(lines[i])) {
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

// Drops a section's lines: all of them (its header and comments too), or its keys only.
void RemoveFromSection(Lines& lines, const std::string& section, bool keysOnly) {
  Lines kept;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine line = Classify(lines[i], i == 0);
    if (line.kind == LineKind::kSection) inSection = EqualsNoCase(line.name, section);
    if (!inSection || (keysOnly && line.kind != LineKind::kKey)) kept.push_back(std::move(lines[i]));
  }
  lines = std::move(kept);
}

// The file's own mark decides (no write bit for anyone; the read-only attribute on Windows), not
// whether this process may open it: root opens anything, and a rename replaces anything.
bool MarkedReadOnly(const fs::file_status& status) {
  constexpr fs::perms kAnyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  return (status.permissions() & kAnyWrite) == fs::perms::none;
}

[[noreturn]] void RefuseLink(const std::string& pathText, const char* where) {
  WriteLog("Refused to write " + pathText + ": " + where + " is a symbolic link; the file is left as it is",
           kLogWarning);
  RefuseWrite(pathText);
}

// The file as it stands, read without following a link. Everything that refuses is decided here,
// before anything is changed, so a refusal changes nothing. A change built on a file we could not
// read would wipe it, so that refuses too.
struct WriteTarget {
  bool existed = false;
  Lines lines;
};

WriteTarget LoadForUpdate(const std::string& pathText) {
  WriteTarget target;
  std::string content;
  switch (platform::ReadFileNoFollow(pathText, content)) {
    case platform::ReadResult::kMissing:
      return target;
    case platform::ReadResult::kLink:
      RefuseLink(pathText, "it");
    case platform::ReadResult::kFailed:
      RefuseWrite(pathText);
    case platform::ReadResult::kRead:
      break;
  }
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(fs::path(pathText), ec);
  if (ec || MarkedReadOnly(status) || !platform::CanOpenForWriting(pathText)) RefuseWrite(pathText);
  target.existed = true;
  target.lines = SplitLines(content);
  return target;
}

std::atomic<uint64_t> gFilesWritten{0};
std::atomic<uint64_t> gBytesWritten{0};

// Writes beside the file and renames over it, so a crash leaves the old file or the new one,
// never half of one, and nothing is ever written through a link. Only a folder that allows no
// new file makes us rewrite an existing file in place.
void SaveLines(const std::string& pathText, const WriteTarget& target, const Lines& lines) {
  std::string content;
  for (const auto& line : lines) {
    content += line;
    content += "\r\n";
  }
  switch (platform::ReplaceFileSafely(pathText, content)) {
    case platform::ReplaceResult::kReplaced:
      break;
    case platform::ReplaceResult::kLinkRefused:
      RefuseLink(pathText, "it or its temporary name");
    case platform::ReplaceResult::kNoTemporary:
      if (target.existed && platform::RewriteFileInPlace(pathText, content)) break;
      RefuseWrite(pathText);
    case platform::ReplaceResult::kFailed:
      RefuseWrite(pathText);
  }
  gFilesWritten.fetch_add(1, std::memory_order_relaxed);
  gBytesWritten.fetch_add(content.size(), std::memory_order_relaxed);
}

void ApplyChange(Lines& lines, const IniChange& change) {
  if (change.kind == IniChange::Kind::kEraseSection) {
    RemoveFromSection(lines, change.section, false);
    return;
  }
  if (change.kind == IniChange::Kind::kClearKeys) {
    RemoveFromSection(lines, change.section, true);
    return;
  }
  // A line break in a value would smuggle extra lines (keys, sections) into the file; a NUL ends
  // the value for the system's own profile functions, so it ends it here too.
  const std::string& v = change.value;
  SetKey(lines, change.section, change.key, v.substr(0, v.find_first_of(std::string_view("\r\n\0", 3))));
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
    if (line.kind == LineKind::kSection) {
      inSection = EqualsNoCase(line.name, section);
    } else if (inSection && line.kind == LineKind::kKey) {
      bool seen = false;
      for (const auto& k : keys) seen = seen || EqualsNoCase(k, line.name);
      if (!seen) keys.emplace_back(line.name);
    }
  }
  return keys;
}

bool IniFile::HoldsExactly(std::string_view value) {
  if (value.size() > kMaxValueLength) return false;
  if (!value.empty() &&
      (kBlanks.find(value.front()) != std::string_view::npos || kBlanks.find(value.back()) != std::string_view::npos))
    return false;
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::vector<std::string> IniFile::RemoveStaleTemporaries() const {
  const fs::path ini(path_);
  const std::string prefix = ini.filename().string() + std::string(platform::kTemporaryInfix);
  fs::path folder = ini.parent_path();
  if (folder.empty()) folder = ".";
  std::vector<std::string> removed, kept;
  std::lock_guard<std::mutex> lock(FileLock());
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name, full;
    try {
      name = it->path().filename().string();
      full = it->path().string();
    } catch (const std::exception&) {
      continue;  // a name this system's narrow text cannot show is none of ours
    }
    if (name.size() != prefix.size() + platform::kRandomSuffixDigits || name.compare(0, prefix.size(), prefix) != 0 ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), IsLowerHexDigit))
      continue;
    // A link there is not ours; removing a name would never touch a link's target anyway.
    if (platform::InspectPath(full) != platform::PathKind::kFile) continue;
    std::error_code removeError;
    (fs::remove(it->path(), removeError) ? removed : kept).push_back(full);
  }
  auto join = [](const std::vector<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
  };
  // They hold the passwords, so an operator must hear of them either way.
  if (!removed.empty())
    WriteLog("Removed " + std::to_string(removed.size()) + " temporary file(s) a cut-short write of " + path_ +
                 " left: " + join(removed),
             kLogWarning);
  if (!kept.empty())
    WriteLog("Warning: could not remove temporary file(s) a cut-short write of " + path_ + " left: " + join(kept),
             kLogWarning);
  return removed;
}

IniWriteTally IniFile::WriteTally() {
  return {gFilesWritten.load(std::memory_order_relaxed), gBytesWritten.load(std::memory_order_relaxed)};
}

bool IniFile::Apply(const std::vector<IniChange>& changes) {
  std::lock_guard<std::mutex> lock(FileLock());
  const WriteTarget target = LoadForUpdate(path_);
  Lines lines = target.lines;
  for (const IniChange& change : changes) ApplyChange(lines, change);
  if (lines == target.lines) return false;
  SaveLines(path_, target, lines);
  return true;
}

void IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  Apply({IniChange{section, key, value}});
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::EraseSection(const std::string& section) { Apply({IniChange::Erase(section)}); }

}  // namespace qm
