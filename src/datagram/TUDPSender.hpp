#pragma once
// The relay sender: sleeps on SystemEvent and, each time it is woken, relays everything in
// voiceQueue to the other clients of each speaker's channel or to a whisper's targets.
#include <vector>

#include "platform/Thread.hpp"

namespace qm {

class TQuillmootServer;

class TUDPSender : public TThread {
 public:
  explicit TUDPSender(TQuillmootServer& server) : server_(server) {}
  ~TUDPSender() override;
  // One relay pass over everything queued (public for tests that drive passes directly).
  void ProcessUDPList();

 protected:
  void Execute() override;

 private:
  TQuillmootServer& server_;
  std::vector<std::vector<uint8_t>> batch_;  // reused between passes
};

}  // namespace qm
