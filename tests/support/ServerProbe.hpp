#pragma once
// Test-only access to what a server keeps private and no public accessor gives: the server and
// its control handlers make this class their friend. A probe holds references only, so it is made
// where it is used: ServerProbe(server).pingThread->...
#include <cstdint>
#include <memory>

#include "control/ControlHandlers.hpp"
#include "datagram/VoiceStats.hpp"
#include "keepalive/TPingThread.hpp"
#include "net/TcpEndpoint.hpp"
#include "net/TrafficCounters.hpp"
#include "net/UdpEndpoint.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm::test {

class ServerProbe {
 public:
  explicit ServerProbe(TQuillmootServer& s)
      : shutdownPauseMs(s.shutdownPauseMs_),
        counters(s.counters_),
        voiceStats(s.voiceStats_),
        udpServer(s.udpServer_),
        tcpServer(s.tcpServer_),
        pingThread(s.pingThread_),
        control_(s.control_) {}

  // Tests stop in a fraction of the 2 s pause.
  uint32_t& shutdownPauseMs;
  // The server's figures, for a worker a test builds to count into (they are read through the
  // server's accessors).
  TrafficCounters& counters;
  VoiceStats& voiceStats;
  // The listeners, for their test knobs, their bound ports and a test's own relay to send from.
  std::unique_ptr<UdpEndpoint>& udpServer;
  std::unique_ptr<TcpEndpoint>& tcpServer;
  // Stopped, or driven pass by pass, by tests of the keep-alive and the voice path.
  std::unique_ptr<TPingThread>& pingThread;

  // The password throttles of a started server's handlers, or of handlers a test made.
  ControlHandlers& Control() { return *control_; }
  GuessThrottle& LoginGuesses() { return LoginGuesses(*control_); }
  GuessThrottle& AdminGuesses() { return AdminGuesses(*control_); }
  static GuessThrottle& LoginGuesses(ControlHandlers& h) { return h.loginGuesses_; }
  static GuessThrottle& AdminGuesses(ControlHandlers& h) { return h.adminGuesses_; }

 private:
  std::unique_ptr<ControlHandlers>& control_;
};

}  // namespace qm::test
