#include "clients/ClientLog.hpp"

#include "clients/TServerClient.hpp"

namespace qm {

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode,
              const TServerClient* client) noexcept {
  if (!client) return LogEvent(category, text, replyCode);
  LogEvent(category, text, replyCode, LogClient{client->PlayerId(), client->ClientName()});
}

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const TServerClient* client) noexcept {
  if (!client) return LogEventLimited(category, text, source);
  LogEventLimited(category, text, source, LogClient{client->PlayerId(), client->ClientName()});
}

}  // namespace qm
