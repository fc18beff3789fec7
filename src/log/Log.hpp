#pragma once
// The server's log: one plain-text file, one time-stamped line per call, opened, appended to and
// closed for every line so operators can move or read it at any time. Never throws, usable
// before start-up and after shutdown, from any thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Log levels, by the use callers make of them. The level is not written and filters nothing.
enum : uint8_t { kLogException = 0, kLogWarning = 1, kLogBanner = 2, kLogProgress = 3 };

void WriteLog(std::string_view message, uint8_t level) noexcept;

// The client an event trace names, as plain values: the log knows nothing of client records
// (clients/ClientLog.hpp takes a record).
struct LogClient {
  uint8_t playerId = 0;  // 0-based; the trace shows it as clients do, plus one
  std::string_view name;
};

// The event trace: "<category> ClientId: <id+1> ClientName: <name> hReply: <code> <text>" (the
// client part only with a client, "hReply: <code> " only for a code other than 0).
void LogEvent(std::string_view category, std::string_view text, int32_t replyCode) noexcept;
void LogEvent(std::string_view category, std::string_view text, int32_t replyCode, const LogClient& client) noexcept;

// The same, never held back whatever the thread's source: lines that come once per session (a
// login, a leave, a disconnect) and lines the server or an administrator causes.
void WriteLogAlways(std::string_view message, uint8_t level) noexcept;
void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode) noexcept;
void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode,
                    const LogClient& client) noexcept;

// The same for traces anyone on the network can provoke at datagram rate ("ALERT UDP",
// "UDP Error"): at most one line per second per source, the rest counted and reported (see
// FlushLogNotes), and all sources together under the ceiling per kind.
void LogEventLimited(std::string_view category, std::string_view text, std::string_view source) noexcept;
void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const LogClient& client) noexcept;

// WriteLog under the same limit, for lines a client can provoke at datagram rate (failed
// whisper copies, malformed whispers, datagrams of a leaving client). The source is any text
// that tells the senders apart.
void WriteLogLimited(std::string_view message, uint8_t level, std::string_view source) noexcept;

// Names the peer whose work the calling thread is doing (its address), for as long as the scope
// lives. Every line written meanwhile by WriteLog or LogEvent is one that peer could provoke at
// packet rate, so it is limited per kind and source (a burst of lines a second, the rest counted
// and reported) and under the ceiling per kind. Scopes nest; the inner one counts.
class LogSourceScope {
 public:
  explicit LogSourceScope(std::string source);
  ~LogSourceScope();
  LogSourceScope(const LogSourceScope&) = delete;
  LogSourceScope& operator=(const LogSourceScope&) = delete;

 private:
  std::string previous_;
};
// Lines of one kind one source may write per second inside a LogSourceScope.
inline constexpr uint32_t kPeerLinesPerSecond = 20;
// Lines of one kind all sources together may write per minute, under either limit; what this
// ceiling holds back is summed up in one line at the minute's end.
inline constexpr uint32_t kKindLinesPerMinute = 120;

// A count held back by a per-source limit is written with that source's next line of the kind,
// or at its window's end as "<kind> from <source> (N similar lines suppressed)". Any log call
// writes the notes that are due; this does it when nothing else is logged (a periodic pass), or
// writes everything held back at once (all: at shutdown).
void FlushLogNotes(bool all = false) noexcept;

// Stands in for a password in traces: the log must never hold one.
inline constexpr std::string_view kPasswordMask = "*****";

// The log file name, "qmserver.log" by default, relative to the working directory.
void SetLogFileName(std::string name);
std::string LogFileName();

// "dd/mm/yyyy hh:nn:ss | <message>" with CR turned into " : ", LF removed and every other control
// byte (NUL, BEL, ESC, DEL...) written as \xNN, so peer-chosen text cannot play tricks on a
// terminal or a log reader; no line end.
std::string FormatLogLine(double now, std::string_view message);

// Forgets the rate limiter's state (tests, and each start-up).
void ResetLogRateLimiter();

}  // namespace qm
