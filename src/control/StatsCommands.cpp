// Statistics requests.
#include "server/TQuillmootServer.hpp"

namespace qm {

void TQuillmootServer::PlayerStatsReq(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::ServerStatsReq(const uint8_t*, size_t, const ClientPtr&) {}

}  // namespace qm
