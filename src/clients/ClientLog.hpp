#pragma once
// The event trace for a client record: the log takes plain values (LogClient), these take the
// record or nullptr, so a call site reads as before. An administrator's traces are never held
// back: administrators are trusted, and their commands are the record of what they changed.
#include <cstdint>
#include <string>
#include <string_view>

#include "log/Log.hpp"

namespace qm {

class TServerClient;

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode,
              const TServerClient* client) noexcept;
void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode,
                    const TServerClient* client) noexcept;
void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const TServerClient* client) noexcept;

// "alice[3] from 203.0.113.7": who a line of ours is about, for an operator or a log watcher
// (the player's id as clients show it, the address of its control connection).
std::string WhoFrom(const TServerClient& client);

}  // namespace qm
