// Many speakers, server pings and logins at once: meant for the ThreadSanitizer build, where any
// unguarded field shared by intake, relay, ping pass and connection threads shows up.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "datagram/VoiceTestClients.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;

TEST(Stress, SpeakersPingsAndLoginsTogether) {
  VoiceRig rig({{"Ping", "IdleTimeBeforePing", "20"}, {"Ping", "PingWaitTime", "40"}, {"Ping", "MaxPingTries", "1"}},
               /*stopPinger=*/false);
  std::vector<VoicePeer*> speakers;
  for (int i = 0; i < 6; ++i) speakers.push_back(&rig.Add("S" + std::to_string(i)));
  const uint16_t udpPort = rig.server.UdpPort();
  const uint16_t tcpPort = rig.server.TcpPort();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (VoicePeer* p : speakers) {
    threads.emplace_back([p, udpPort, &stop] {
      uint32_t id = 1;
      const uint8_t body[24] = {1, 2, 3};
      for (int i = 0; i < 300 && !stop.load(); ++i) {
        const auto d = ComposeVoice(p->key, i % 7 == 0 ? kVoiceWhisper : kVoiceChannel, 0, id++, body, sizeof body);
        p->voice->SendTo(udpPort, d);
        // Drain what the relay sends back so the socket never fills.
        while (p->voice->Receive(0)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  threads.emplace_back([tcpPort, &stop] {
    for (int i = 0; i < 15 && !stop.load(); ++i) {
      client::ControlClient c;
      c.Connect("127.0.0.1", tcpPort);
      c.Login("L" + std::to_string(i), "", "1.2.2");
      client::VoiceClient v;
      const PingDatagram ping = ComposePing(c.SessionKey(), kPingRequest, 1);
      v.SendTo(static_cast<uint16_t>(tcpPort + 1), ping.data(), ping.size());
      c.Send(ComposeCommand(kCmdClientLeave));
      c.WaitClosed(1000);
    }
  });
  for (auto& t : threads) t.join();
  stop.store(true);
  EXPECT_GT(rig.Server().UdpPacketsSent.load(), 100u);
  EXPECT_GT(rig.Server().UdpPacketsReceived.load(), 1000u);
}

}  // namespace
}  // namespace qm
