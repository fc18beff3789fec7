#include "log/Log.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Platform.hpp"

namespace qm {
namespace {

std::mutex& FileMutex() {
  static auto* m = new std::mutex;  // never destroyed: late writers must find it intact
  return *m;
}
std::mutex& NameMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::string& FileName() {
  static auto* name = new std::string("qmserver.log");
  return *name;
}

void TwoDigits(std::string& out, int v) {
  out += static_cast<char>('0' + (v / 10) % 10);
  out += static_cast<char>('0' + v % 10);
}

// Set while the log cannot be written and that has been said on stderr.
std::atomic<bool> gLogFailureShown{false};

void AppendLine(const std::string& line) {
  const std::string name = LogFileName();
  std::FILE* f = std::fopen(name.c_str(), "ab");
  if (!f) {
    // A log nobody can read would leave the operator with nothing: say it once on stderr (again
    // only after the log has worked in between), since the log is where it would have gone.
    const std::string reason = std::generic_category().message(errno);
    if (!gLogFailureShown.exchange(true)) {
      std::error_code ec;
      std::filesystem::path shown = std::filesystem::absolute(name, ec);
      if (ec) shown = name;
      std::fprintf(stderr, "Warning: cannot write the log %s: %s\n", shown.string().c_str(), reason.c_str());
      std::fflush(stderr);
    }
    return;
  }
  gLogFailureShown.store(false);
  std::fwrite(line.data(), 1, line.size(), f);
  std::fwrite("\r\n", 1, 2, f);
  std::fclose(f);
}

// Per-source rate limiting of the lines peers can cause. The tables are bounded so that a flood
// from ever-new sources cannot grow them; sources beyond one share a slot per kind.
struct RateSlot {
  uint32_t windowStart = 0;
  uint32_t written = 0;  // lines written in the current window
  uint32_t suppressed = 0;
  bool used = false;
  bool noteDue = false;  // listed for a note at the window's end
};
constexpr uint32_t kRateWindowMs = 1000;
constexpr char kKeySeparator = '\x1f';
struct RateTable {
  std::unordered_map<std::string, RateSlot> slots;
  size_t capacity;
  uint32_t lastPrune = 0;
  bool pruned = false;
};
constexpr uint32_t kPruneGapMs = 100;
std::mutex& RateMutex() {
  static auto* m = new std::mutex;
  return *m;
}
// Datagram sources can be forged at will, so they get a table of their own: a spoofed flood that
// fills it cannot push the lines of real connections into the shared slots.
RateTable& DatagramRates() {
  static auto* t = new RateTable{{}, 256, 0, false};
  return *t;
}
// Connection sources are real addresses with capped connections; room for all of them.
RateTable& PeerRates() {
  static auto* t = new RateTable{{}, 4096, 0, false};
  return *t;
}

// The ceiling per kind across all sources: many sources under their own limits must not add up
// to a flood. Its minute is shared by all kinds; what it held back is summed up once a minute.
struct KindCount {
  uint32_t written = 0;
  uint64_t heldBack = 0;
};
constexpr uint32_t kCeilingWindowMs = 60 * 1000;
constexpr size_t kMaxKinds = 64;
struct Ceiling {
  std::map<std::string, KindCount, std::less<>> kinds;  // ordered: the summary lists them alphabetically
  uint32_t windowStart = 0;
  bool used = false;
  bool heldBack = false;
};
Ceiling& KindCeiling() {
  static auto* c = new Ceiling;
  return *c;
}

// Slots whose held-back count waits for its window's end.
struct PendingNote {
  RateTable* table;
  std::string key;
};
std::vector<PendingNote>& PendingNotes() {
  static auto* v = new std::vector<PendingNote>;
  return *v;
}
// No pending note is due before this tick, so most calls need not look at them.
uint32_t gNextNoteDue = 0;
// Lets the lines no peer causes skip the limiter's lock while nothing waits.
std::atomic<bool>& AnythingDue() {
  static auto* a = new std::atomic<bool>(false);
  return *a;
}

}  // namespace

void SetLogFileName(std::string name) {
  std::lock_guard<std::mutex> g(NameMutex());
  FileName() = std::move(name);
  gLogFailureShown.store(false);  // another file: its failure is news again
}

std::string LogFileName() {
  std::lock_guard<std::mutex> g(NameMutex());
  return FileName();
}

std::string FormatLogLine(double now, std::string_view message) {
  const DateTimeParts p = DecodeDateTime(now);
  std::string line;
  line.reserve(24 + message.size());
  const char ds = platform::DateSeparator();
  const char ts = platform::TimeSeparator();
  TwoDigits(line, p.day);
  line += ds;
  TwoDigits(line, p.month);
  line += ds;
  TwoDigits(line, p.year / 100);
  TwoDigits(line, p.year % 100);
  line += ' ';
  TwoDigits(line, p.hour);
  line += ts;
  TwoDigits(line, p.minute);
  line += ts;
  TwoDigits(line, p.second);
  line += " | ";
  static constexpr char kHex[] = "0123456789abcdef";
  for (char c : message) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') {
      line += " : ";
    } else if (c == '\n') {
    } else if (b < 0x20 || b == 0x7F) {
      line += "\\x";
      line += kHex[b >> 4];
      line += kHex[b & 15];
    } else {
      line += c;
    }
  }
  return line;
}

namespace {

thread_local std::string tLogSource;

// Writes one line whatever the source.
void WriteLine(std::string_view message) noexcept {
  try {
    const std::string line = FormatLogLine(Now(), message);
    // The lock object is permanent; before start-up and after shutdown it still serialises
    // writers, which costs nothing and keeps lines whole.
    std::lock_guard<std::mutex> g(FileMutex());
    AppendLine(line);
  } catch (...) {
  }
}

void WriteLines(const std::vector<std::string>& lines) noexcept {
  for (const auto& line : lines) WriteLine(line);
}

// The first two words of a line name its kind.
std::string_view KindOf(std::string_view message) {
  const size_t cut = message.find(' ', message.find(' ') + 1);
  return message.substr(0, cut);
}

std::string WithSuppressedCount(std::string line, uint64_t suppressed) {
  if (suppressed) line += " (" + std::to_string(suppressed) + " similar lines suppressed)";
  return line;
}

// Ends the ceiling's minute when it has run (or at once, forced): one line sums up what it held
// back. RateMutex held.
void RollCeiling(uint32_t now, bool force, std::vector<std::string>& due) {
  Ceiling& c = KindCeiling();
  if (!c.used || (!force && now - c.windowStart < kCeilingWindowMs)) return;
  if (c.heldBack) {
    std::string line = "Held back in the last " + std::to_string((now - c.windowStart + 999) / 1000) + " s (over " +
                       std::to_string(kKindLinesPerMinute) + " lines of a kind a minute):";
    const char* comma = "";
    for (const auto& [kind, count] : c.kinds) {
      if (count.heldBack == 0) continue;
      line += comma;
      // Appended piece by piece: gcc 12 misreads a literal + temporary string as overlapping.
      line += ' ';
      line += std::to_string(count.heldBack);
      line += " \"";
      line += kind;
      line += '"';
      comma = ",";
    }
    due.push_back(std::move(line));
  }
  c = Ceiling{};
}

// True when the ceiling lets one more line of the kind through; otherwise it counts the line
// and the `carried` held-back lines it stood for. RateMutex held.
bool CeilingAllows(std::string_view kind, uint64_t carried, uint32_t now, std::vector<std::string>& due) {
  RollCeiling(now, false, due);
  Ceiling& c = KindCeiling();
  if (!c.used) {
    c.used = true;
    c.windowStart = now;
  }
  auto it = c.kinds.find(kind);
  if (it == c.kinds.end())
    it = c.kinds.emplace(c.kinds.size() < kMaxKinds ? std::string(kind) : std::string("(other kinds)"), KindCount{})
             .first;
  if (it->second.written < kKindLinesPerMinute) {
    ++it->second.written;
    return true;
  }
  it->second.heldBack += 1 + carried;
  c.heldBack = true;
  AnythingDue().store(true);
  return false;
}

// Writes the held-back counts whose window has ended with no later line to carry them (all of
// them, forced), and the ceiling's summary when its minute is over. RateMutex held.
void FlushDue(uint32_t now, bool force, std::vector<std::string>& due) {
  auto& pending = PendingNotes();
  const bool early = !force && static_cast<int32_t>(now - gNextNoteDue) < 0;
  uint32_t nextDue = now + kRateWindowMs;
  for (size_t i = 0; i < pending.size() && !early;) {
    const PendingNote note = pending[i];
    auto it = note.table->slots.find(note.key);
    RateSlot* slot = it == note.table->slots.end() ? nullptr : &it->second;
    if (slot && slot->noteDue && !force && now - slot->windowStart < kRateWindowMs) {
      if (static_cast<int32_t>(slot->windowStart + kRateWindowMs - nextDue) < 0)
        nextDue = slot->windowStart + kRateWindowMs;
      ++i;
      continue;
    }
    pending[i] = pending.back();
    pending.pop_back();
    if (!slot || !slot->noteDue) continue;
    slot->noteDue = false;
    if (slot->suppressed == 0) continue;
    const size_t cut = note.key.find(kKeySeparator);
    const std::string kind = note.key.substr(0, cut);
    if (CeilingAllows(kind, slot->suppressed - 1, now, due))
      due.push_back(WithSuppressedCount(kind + " from " + note.key.substr(cut + 1), slot->suppressed));
    slot->suppressed = 0;
  }
  if (!early) gNextNoteDue = nextDue;
  RollCeiling(now, force, due);
  AnythingDue().store(!pending.empty() || KindCeiling().heldBack);
}

// True when a line of this kind from this source may be written now: at most `limit` a window
// per source, then the ceiling per kind. suppressed receives how many lines of the source were
// held back since its last written one; due receives notes to write first.
bool Admit(RateTable& rates, std::string_view kind, std::string_view source, uint32_t limit, uint32_t& suppressed,
           std::vector<std::string>& due) {
  std::lock_guard<std::mutex> g(RateMutex());
  const uint32_t now = TickCount();
  auto& table = rates.slots;
  std::string key(kind);
  key += kKeySeparator;
  key += source;
  auto it = table.find(key);
  if (it == table.end()) {
    if (table.size() >= rates.capacity && (!rates.pruned || now - rates.lastPrune >= kPruneGapMs)) {
      // Forget sources that have been quiet, so the table keeps room for new ones; at most so
      // often, or a flood from ever-new sources would scan it for every line.
      rates.pruned = true;
      rates.lastPrune = now;
      for (auto i = table.begin(); i != table.end();) {
        if (now - i->second.windowStart >= kRateWindowMs && i->second.suppressed == 0)
          i = table.erase(i);
        else
          ++i;
      }
    }
    // Past its capacity the table gives each kind one slot for all further sources.
    if (table.size() >= rates.capacity) key.replace(kind.size() + 1, std::string::npos, "other sources");
    it = table.try_emplace(key).first;
  }
  RateSlot& slot = it->second;
  suppressed = 0;
  if (slot.used && now - slot.windowStart < kRateWindowMs) {
    if (slot.written >= limit) {
      ++slot.suppressed;
      if (!slot.noteDue) {
        slot.noteDue = true;
        const uint32_t noteDue = slot.windowStart + kRateWindowMs;
        if (PendingNotes().empty() || static_cast<int32_t>(noteDue - gNextNoteDue) < 0) gNextNoteDue = noteDue;
        PendingNotes().push_back({&rates, key});
        AnythingDue().store(true);
      }
      FlushDue(now, false, due);
      return false;
    }
    ++slot.written;
  } else {
    suppressed = slot.suppressed;
    slot.used = true;
    slot.windowStart = now;
    slot.written = 1;
    slot.suppressed = 0;
  }
  // After the slot's own count went to this line: the others' due notes go out before it.
  FlushDue(now, false, due);
  return CeilingAllows(kind, suppressed, now, due);
}

// Every line goes through here or through Admit, so a held-back count waits at most for the next
// line of any kind (or the periodic flush).
void WriteUnlimited(std::string_view message) noexcept {
  FlushLogNotes(false);
  WriteLine(message);
}

template <class Compose>
void WriteAdmitted(RateTable& rates, std::string_view kind, std::string_view source, uint32_t limit, Compose compose) {
  std::vector<std::string> due;
  uint32_t suppressed = 0;
  const bool allowed = Admit(rates, kind, source, limit, suppressed, due);
  WriteLines(due);
  // The line is composed only when it is to be written, so a flood costs little.
  if (allowed) WriteLine(WithSuppressedCount(std::string(compose()), suppressed));
}

// A line on behalf of the thread's peer, if it has one: limited per kind and source.
template <class Compose>
void WriteForSource(std::string_view kind, Compose compose) {
  if (tLogSource.empty()) return WriteUnlimited(compose());
  WriteAdmitted(PeerRates(), kind, tLogSource, kPeerLinesPerSecond, compose);
}

std::string ComposeEvent(std::string_view category, std::string_view text, int32_t replyCode, const LogClient* client) {
  std::string line(category);
  if (client) {
    line += " ClientId: ";
    line += std::to_string(static_cast<unsigned>(client->playerId) + 1);
    line += " ClientName: ";
    line += client->name;
  }
  line += ' ';
  if (replyCode != 0) {
    line += "hReply: ";
    line += std::to_string(replyCode);
    line += ' ';
  }
  line += text;
  return line;
}

void TraceEvent(std::string_view category, std::string_view text, int32_t replyCode, const LogClient* client) noexcept {
  try {
    // All command traces share their category; the command (the text's first word) tells them apart.
    std::string kind(category);
    kind += ' ';
    kind += text.substr(0, text.find(' '));
    WriteForSource(kind, [&] { return ComposeEvent(category, text, replyCode, client); });
  } catch (...) {
  }
}

void TraceLimited(std::string_view category, std::string_view text, std::string_view source,
                  const LogClient* client) noexcept {
  try {
    WriteAdmitted(DatagramRates(), category, source, 1, [&] { return ComposeEvent(category, text, 0, client); });
  } catch (...) {
  }
}

}  // namespace

LogSourceScope::LogSourceScope(std::string source) : previous_(std::exchange(tLogSource, std::move(source))) {}
LogSourceScope::~LogSourceScope() { tLogSource = std::move(previous_); }

void WriteLog(std::string_view message, uint8_t level) noexcept {
  (void)level;
  try {
    WriteForSource(KindOf(message), [&] { return message; });
  } catch (...) {
  }
}

void WriteLogAlways(std::string_view message, uint8_t level) noexcept {
  (void)level;
  WriteUnlimited(message);
}

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode) noexcept {
  TraceEvent(category, text, replyCode, nullptr);
}

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode, const LogClient& client) noexcept {
  TraceEvent(category, text, replyCode, &client);
}

void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode) noexcept {
  try {
    WriteUnlimited(ComposeEvent(category, text, replyCode, nullptr));
  } catch (...) {
  }
}

void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode,
                    const LogClient& client) noexcept {
  try {
    WriteUnlimited(ComposeEvent(category, text, replyCode, &client));
  } catch (...) {
  }
}

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source) noexcept {
  TraceLimited(category, text, source, nullptr);
}

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const LogClient& client) noexcept {
  TraceLimited(category, text, source, &client);
}

void WriteLogLimited(std::string_view message, uint8_t level, std::string_view source) noexcept {
  (void)level;
  try {
    WriteAdmitted(DatagramRates(), KindOf(message), source, 1, [&] { return message; });
  } catch (...) {
  }
}

void FlushLogNotes(bool all) noexcept {
  if (!all && !AnythingDue().load()) return;
  std::vector<std::string> due;
  try {
    std::lock_guard<std::mutex> g(RateMutex());
    FlushDue(TickCount(), all, due);
  } catch (...) {
  }
  WriteLines(due);
}

void ResetLogRateLimiter() {
  std::lock_guard<std::mutex> g(RateMutex());
  for (RateTable* t : {&DatagramRates(), &PeerRates()}) {
    t->slots.clear();
    t->pruned = false;
  }
  KindCeiling() = Ceiling{};
  PendingNotes().clear();
  gNextNoteDue = 0;
  AnythingDue().store(false);
}

}  // namespace qm
