// Channel and administration commands.
#include "server/TQuillmootServer.hpp"

namespace qm {

void TQuillmootServer::ClientChangeRoom(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminLogin(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminCreateRoom(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminDeleteRoom(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminKickPlayer(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminChangeServerPassword(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminSaveAsDefaultChannels(const uint8_t*, size_t, const ClientPtr&) {}
void TQuillmootServer::AdminChangeAdminPassword(const uint8_t*, size_t, const ClientPtr&) {}

}  // namespace qm
