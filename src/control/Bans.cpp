#include "control/Bans.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>

#include "log/Log.hpp"
#include "net/NetAddress.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"

namespace qm {
namespace {

constexpr const char* kNamePrefix = "name:";
constexpr double kMinuteDays = 1.0 / (24 * 60);

uint32_t MaskOf(int prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }

// A reason as the file can hold it on one line.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\r' || c == '\n' || c == '\0') c = ' ';
  return text;
}

bool ParseUntil(const std::string& text, double& until) {
  if (text == "never") {
    until = 0;
    return true;
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
  if (y < 1900 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
    return false;
  until = EncodeDateTime(y, mo, d, h, mi, s, 0);
  return true;
}

}  // namespace

std::string BanTarget::Text() const {
  if (byName) return kNamePrefix + name;
  NetAddress a;
  a.ip = network;
  std::string text = network == 0 ? "0.0.0.0" : a.AddressText();
  if (mask != ~uint32_t{0}) {
    int prefix = 0;
    for (uint32_t m = mask; m != 0; m <<= 1) ++prefix;
    // Appended piece by piece: gcc 12's -Wrestrict misjudges a literal + temporary string here.
    text += '/';
    text += std::to_string(prefix);
  }
  return text;
}

bool BanTarget::Matches(uint32_t host, const std::string& clientName) const {
  if (byName) return !clientName.empty() && clientName == name;
  return (host & mask) == network;
}

bool ParseBanTarget(const std::string& text, BanTarget& target, std::string& error) {
  target = BanTarget{};
  if (text.rfind(kNamePrefix, 0) == 0) {
    target.byName = true;
    target.name = text.substr(std::char_traits<char>::length(kNamePrefix));
    if (target.name.empty()) {
      error = "no name after \"name:\"";
      return false;
    }
    if (target.name.find_first_of("\t\r\n") != std::string::npos) {
      error = "a name with a tab or a line break";
      return false;
    }
    return true;
  }
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  int prefix = 32;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || prefix < 8 || prefix > 32) {
      error = "\"" + text + "\": the prefix after '/' must be 8 to 32";
      return false;
    }
  }
  NetAddress parsed;
  if (!NetAddress::FromDotted(address, 0, parsed) || parsed.ip == 0) {
    error = "\"" + text + "\" is neither an IPv4 address, an address/prefix, player:ID nor name:NAME";
    return false;
  }
  target.mask = MaskOf(prefix);
  target.network = parsed.ip & target.mask;
  return true;
}

std::string BanFilePath(const std::string& iniPath) {
  std::filesystem::path p(iniPath);
  p.replace_extension(".bans");
  return p.string();
}

BanList::BanList(IClock& clock) : clock_(clock) {}

std::string BanList::FormatUntil(double until) {
  if (until == 0) return "never";
  const DateTimeParts t = DecodeDateTime(until);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

void BanList::Load(const std::string& path) {
  std::lock_guard g(lock_);
  path_ = path;
  entries_.clear();
  std::string content;
  switch (platform::ReadFileNoFollow(path, content)) {
    case platform::ReadResult::kRead:
      break;
    case platform::ReadResult::kMissing:
      return;
    case platform::ReadResult::kLink:
      WriteLogAlways("Bans: " + path + " is a symbolic link; it is not read, and no ban is in force", kLogWarning);
      return;
    case platform::ReadResult::kFailed:
      WriteLogAlways("Bans: " + path + " cannot be read; no ban is in force", kLogWarning);
      return;
  }
  const double now = clock_.Now();
  size_t number = 0, start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    // A last line without its line break is what a cut-short file ends with: not trusted.
    const bool complete = end != std::string::npos;
    if (!complete) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    Entry e;
    std::string error;
    if (!complete || tab2 == std::string::npos || !ParseBanTarget(line.substr(0, tab1), e.target, error) ||
        !ParseUntil(line.substr(tab1 + 1, tab2 - tab1 - 1), e.ban.until)) {
      WriteLogAlways("Bans: line " + std::to_string(number) + " of " + path + " is not a ban; skipped", kLogWarning);
      continue;
    }
    if (e.ban.until != 0 && e.ban.until <= now) continue;
    e.ban.target = e.target.Text();
    e.ban.reason = line.substr(tab2 + 1);
    auto same =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& x) { return x.ban.target == e.ban.target; });
    if (same != entries_.end()) entries_.erase(same);
    entries_.push_back(std::move(e));
  }
  if (!entries_.empty())
    WriteLogAlways("Bans: " + std::to_string(entries_.size()) + " in force from " + path, kLogProgress);
}

void BanList::DropExpired() {
  const double now = clock_.Now();
  std::erase_if(entries_, [now](const Entry& e) { return e.ban.until != 0 && e.ban.until <= now; });
}

void BanList::Write() {
  if (path_.empty()) return;  // a list no file was given for (tests of the handlers alone)
  std::string content = "# Bans: TARGET<TAB>UNTIL (local time, or never)<TAB>REASON. Written by the server.\n";
  for (const Entry& e : entries_)
    content += e.ban.target + "\t" + FormatUntil(e.ban.until) + "\t" + e.ban.reason + "\n";
  switch (platform::ReplaceFileSafely(path_, content)) {
    case platform::ReplaceResult::kReplaced:
      return;
    case platform::ReplaceResult::kLinkRefused:
      WriteLogAlways("Refused to write " + path_ + ": it or its temporary name is a symbolic link", kLogWarning);
      break;
    default:
      break;
  }
  throw EConfigError("Unable to write to " + path_);
}

Ban BanList::Add(const BanTarget& target, int minutes, const std::string& reason) {
  std::lock_guard g(lock_);
  DropExpired();
  const std::vector<Entry> before = entries_;
  Entry e;
  e.target = target;
  e.ban.target = target.Text();
  e.ban.until = minutes > 0 ? clock_.Now() + minutes * kMinuteDays : 0;
  e.ban.reason = OneLine(reason);
  std::erase_if(entries_, [&](const Entry& x) { return x.ban.target == e.ban.target; });
  entries_.push_back(e);
  try {
    Write();
  } catch (...) {
    entries_ = before;
    throw;
  }
  return e.ban;
}

bool BanList::Remove(const BanTarget& target) {
  std::lock_guard g(lock_);
  DropExpired();
  const std::vector<Entry> before = entries_;
  const std::string text = target.Text();
  if (std::erase_if(entries_, [&](const Entry& x) { return x.ban.target == text; }) == 0) return false;
  try {
    Write();
  } catch (...) {
    entries_ = before;
    throw;
  }
  return true;
}

std::vector<Ban> BanList::Snapshot() {
  std::lock_guard g(lock_);
  DropExpired();
  std::vector<Ban> bans;
  for (const Entry& e : entries_) bans.push_back(e.ban);
  return bans;
}

size_t BanList::Count() {
  std::lock_guard g(lock_);
  DropExpired();
  return entries_.size();
}

bool BanList::Match(uint32_t host, const std::string& name, Ban& matched) {
  std::lock_guard g(lock_);
  if (entries_.empty()) return false;
  DropExpired();
  for (Entry& e : entries_) {
    if (!e.target.Matches(host, name)) continue;
    ++e.ban.hits;
    matched = e.ban;
    return true;
  }
  return false;
}

}  // namespace qm
