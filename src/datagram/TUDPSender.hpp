#pragma once
// The relay sender: sleeps on SystemEvent and, each time it is woken, relays everything in
// voiceQueue to the other clients of each speaker's channel or to a whisper's targets.
#include <cstdint>
#include <vector>

#include "datagram/Datagrams.hpp"
#include "platform/Thread.hpp"

namespace qm {

class TQuillmootServer;
class TServerClient;

class TUDPSender : public TThread {
 public:
  explicit TUDPSender(TQuillmootServer& server) : server_(server) {}
  ~TUDPSender() override;
  // One relay pass over everything queued (public for tests that drive passes directly).
  void ProcessUDPList();

 protected:
  void Execute() override;

 private:
  // Relays one datagram; the caller holds the client list lock.
  void Relay(std::vector<uint8_t>& datagram);
  // Sends the datagram, stamped for the recipient, and counts it; throws what the send throws.
  void SendCopy(TServerClient& recipient, std::vector<uint8_t>& datagram);

  TQuillmootServer& server_;
  std::vector<std::vector<uint8_t>> batch_;  // reused between passes
  WhisperTargets targets_;
};

}  // namespace qm
