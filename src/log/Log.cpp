#include "log/Log.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

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

// Per-source rate limiting of the network-triggered traces. The table is bounded so that a flood
// from ever-new sources cannot grow it; sources beyond it share one overflow slot.
struct RateSlot {
  uint32_t windowStart = 0;
  uint32_t written = 0;  // lines written in the current window
  uint32_t suppressed = 0;
  bool used = false;
};
constexpr uint32_t kRateWindowMs = 1000;
struct RateTable {
  std::unordered_map<std::string, RateSlot> slots;
  RateSlot overflow;
  size_t capacity;
};
std::mutex& RateMutex() {
  static auto* m = new std::mutex;
  return *m;
}
// Datagram sources can be forged at will, so they get a table of their own: a spoofed flood that
// fills it cannot push the lines of real connections into the shared overflow slot.
RateTable& DatagramRates() {
  static auto* t = new RateTable{{}, {}, 256};
  return *t;
}
// Connection sources are real addresses with capped connections; room for all of them.
RateTable& PeerRates() {
  static auto* t = new RateTable{{}, {}, 4096};
  return *t;
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

bool RateAllows(RateTable& rates, std::string_view kind, std::string_view source, uint32_t limit, uint32_t& suppressed);
std::string WithSuppressedCount(std::string line, uint32_t suppressed);

// The first two words of a line name its kind.
std::string_view KindOf(std::string_view message) {
  const size_t cut = message.find(' ', message.find(' ') + 1);
  return message.substr(0, cut);
}

// A line on behalf of the thread's peer, if it has one: limited per kind and source. The line is
// composed only when it is to be written, so a flood costs little.
template <class Compose>
void WriteForSource(std::string_view kind, Compose compose) {
  if (tLogSource.empty()) return WriteLine(compose());
  uint32_t suppressed = 0;
  if (!RateAllows(PeerRates(), kind, tLogSource, kPeerLinesPerSecond, suppressed)) return;
  WriteLine(WithSuppressedCount(std::string(compose()), suppressed));
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

namespace {
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
}  // namespace

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode) noexcept {
  TraceEvent(category, text, replyCode, nullptr);
}

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode, const LogClient& client) noexcept {
  TraceEvent(category, text, replyCode, &client);
}

namespace {
// True when a line from this source may be written now (at most `limit` a window); suppressed
// receives how many lines of the source were held back since its last written one.
bool RateAllows(RateTable& rates, std::string_view category, std::string_view source, uint32_t limit,
                uint32_t& suppressed) {
  std::lock_guard<std::mutex> g(RateMutex());
  auto& table = rates.slots;
  std::string key(category);
  key += '|';
  key += source;
  RateSlot* slot;
  auto it = table.find(key);
  if (it != table.end()) {
    slot = &it->second;
  } else if (table.size() < rates.capacity) {
    slot = &table[key];
  } else {
    slot = &rates.overflow;
  }
  const uint32_t now = TickCount();
  if (slot->used && now - slot->windowStart < kRateWindowMs) {
    if (slot->written >= limit) {
      ++slot->suppressed;
      return false;
    }
    ++slot->written;
    suppressed = 0;
    return true;
  }
  suppressed = slot->suppressed;
  slot->used = true;
  slot->windowStart = now;
  slot->written = 1;
  slot->suppressed = 0;
  // Forget sources that have been quiet, so the table keeps room for new ones.
  if (table.size() >= rates.capacity) {
    for (auto i = table.begin(); i != table.end();) {
      if (now - i->second.windowStart >= kRateWindowMs && i->second.suppressed == 0)
        i = table.erase(i);
      else
        ++i;
    }
  }
  return true;
}

std::string WithSuppressedCount(std::string line, uint32_t suppressed) {
  if (suppressed) line += " (" + std::to_string(suppressed) + " similar lines suppressed)";
  return line;
}
}  // namespace

namespace {
void TraceLimited(std::string_view category, std::string_view text, std::string_view source,
                  const LogClient* client) noexcept {
  try {
    uint32_t suppressed = 0;
    if (!RateAllows(DatagramRates(), category, source, 1, suppressed)) return;
    WriteLine(WithSuppressedCount(ComposeEvent(category, text, 0, client), suppressed));
  } catch (...) {
  }
}
}  // namespace

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source) noexcept {
  TraceLimited(category, text, source, nullptr);
}

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const LogClient& client) noexcept {
  TraceLimited(category, text, source, &client);
}

void WriteLogLimited(std::string_view message, uint8_t level, std::string_view source) noexcept {
  try {
    uint32_t suppressed = 0;
    if (!RateAllows(DatagramRates(), KindOf(message), source, 1, suppressed)) return;
    WriteLine(WithSuppressedCount(std::string(message), suppressed));
  } catch (...) {
  }
}

void ResetLogRateLimiter() {
  std::lock_guard<std::mutex> g(RateMutex());
  for (RateTable* t : {&DatagramRates(), &PeerRates()}) {
    t->slots.clear();
    t->overflow = RateSlot{};
  }
}

}  // namespace qm
