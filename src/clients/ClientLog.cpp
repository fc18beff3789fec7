#include "clients/ClientLog.hpp"

#include "clients/TServerClient.hpp"

namespace qm {

void LogEvent(std::string_view category, std::string_view text, int32_t replyCode,
              const TServerClient* client) noexcept {
  if (!client) return LogEvent(category, text, replyCode);
  if (client->IsAdmin()) return LogEventAlways(category, text, replyCode, client);
  LogEvent(category, text, replyCode, LogClient{client->PlayerId(), client->ClientName()});
}

void LogEventAlways(std::string_view category, std::string_view text, int32_t replyCode,
                    const TServerClient* client) noexcept {
  if (!client) return LogEventAlways(category, text, replyCode);
  LogEventAlways(category, text, replyCode, LogClient{client->PlayerId(), client->ClientName()});
}

void LogEventLimited(std::string_view category, std::string_view text, std::string_view source,
                     const TServerClient* client) noexcept {
  if (!client) return LogEventLimited(category, text, source);
  LogEventLimited(category, text, source, LogClient{client->PlayerId(), client->ClientName()});
}

std::string WhoFrom(const TServerClient& client) {
  const auto& link = client.TcpLink();
  return client.ClientName() + "[" + std::to_string(client.PlayerId() + 1) + "] from " +
         (link ? link->PeerAddress() : std::string("an unknown address"));
}

}  // namespace qm
