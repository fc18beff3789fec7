#pragma once
// Test-only access to a server's insides under the names tests have always used: the server and
// its control handlers keep them private and make this class their friend. A probe holds
// references only, so it is made where it is used: ServerProbe(server).clientList->...
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "config/Settings.hpp"
#include "datagram/TUDPSender.hpp"
#include "datagram/UdpIntake.hpp"
#include "keepalive/TPingThread.hpp"
#include "metrics/MetricsEndpoint.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm::test {

class ServerProbe {
 public:
  explicit ServerProbe(TQuillmootServer& s)
      : StartupError(s.startupError_),
        StartupCause(s.startupCause_),
        ServerVersion(s.serverVersion_),
        StartTime(s.startTime_),
        ShutdownPauseMs(s.shutdownPauseMs_),
        counters(s.counters_),
        clientList(s.clientList_),
        channelList(s.channelList_),
        voiceStats(s.voiceStats_),
        control(s.control_),
        intake(s.intake_),
        udpServer(s.udpServer_),
        tcpServer(s.tcpServer_),
        pingThread(s.pingThread_),
        udpSender(s.udpSender_),
        metrics(s.metrics_),
        UdpPacketsSent(s.counters_.UdpPacketsSent),
        UdpBytesSent(s.counters_.UdpBytesSent),
        UdpPacketsReceived(s.counters_.UdpPacketsReceived),
        UdpBytesReceived(s.counters_.UdpBytesReceived),
        TcpPacketsSent(s.counters_.TcpPacketsSent),
        TcpBytesSent(s.counters_.TcpBytesSent),
        TcpPacketsReceived(s.counters_.TcpPacketsReceived),
        TcpBytesReceived(s.counters_.TcpBytesReceived) {}

  const std::string& StartupError;
  const std::string& StartupCause;
  std::string& ServerVersion;
  double& StartTime;
  uint32_t& ShutdownPauseMs;
  TrafficCounters& counters;
  std::unique_ptr<TClientList>& clientList;
  std::unique_ptr<TChannelList>& channelList;
  VoiceStats& voiceStats;
  std::unique_ptr<ControlHandlers>& control;
  std::unique_ptr<UdpIntake>& intake;
  std::unique_ptr<UdpEndpoint>& udpServer;
  std::unique_ptr<TcpEndpoint>& tcpServer;
  std::unique_ptr<TPingThread>& pingThread;
  std::unique_ptr<TUDPSender>& udpSender;
  std::unique_ptr<MetricsEndpoint>& metrics;
  std::atomic<uint32_t>& UdpPacketsSent;
  std::atomic<uint32_t>& UdpBytesSent;
  std::atomic<uint32_t>& UdpPacketsReceived;
  std::atomic<uint32_t>& UdpBytesReceived;
  std::atomic<uint32_t>& TcpPacketsSent;
  std::atomic<uint32_t>& TcpBytesSent;
  std::atomic<uint32_t>& TcpPacketsReceived;
  std::atomic<uint32_t>& TcpBytesReceived;

  // What the server lends its ping thread, for tests that make one of their own (a started
  // server only).
  operator PingServices() const {
    return PingServices{*clientList, PingSender{*udpServer, counters}, StartTime, ServerVersion};
  }

  // What the server lends its UDP intake, for tests that feed an intake of their own (a started
  // server only); now: the receive stamps' clock.
  IntakeServices Intake(TUDPSender& relay, TUDPSender::NanoClock now = platform::DatagramClockNs) const {
    IntakeServices services{*clientList, counters, relay, voiceStats, now};
    services.voicePacketsPerSecond = static_cast<uint32_t>(Settings().VoicePacketsPerSecond);
    services.voiceBytesPerSecond = static_cast<uint32_t>(Settings().VoiceBytesPerSecond);
    return services;
  }

  // The control handlers' password throttles.
  static GuessThrottle& LoginGuesses(ControlHandlers& h) { return h.loginGuesses; }
  static GuessThrottle& AdminGuesses(ControlHandlers& h) { return h.adminGuesses; }
};

}  // namespace qm::test
