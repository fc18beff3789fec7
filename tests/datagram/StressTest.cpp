// Many speakers, server pings and logins at once: meant for the ThreadSanitizer build, where any
// unguarded field shared by intake, relay, ping pass and connection threads shows up.
#include <atomic>
#include <chrono>
#include <cstdio>
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
  EXPECT_GT(rig.Server().Counters().UdpPacketsSent.load(), 100u);
  EXPECT_GT(rig.Server().Counters().UdpPacketsReceived.load(), 1000u);
}

// One speaker floods a channel beside an honest one: the flood reaches the listener at about its
// budget (100 datagrams a second after a burst of 100) and the honest speaker loses nothing.
TEST(Stress, AFloodingSpeakerIsHeldToItsBudgetAndAnHonestOneLosesNothing) {
  VoiceRig rig;
  VoicePeer& flood = rig.Add("Flood");
  VoicePeer& honest = rig.Add("Honest");
  VoicePeer& listener = rig.Add("Listener");
  const std::vector<uint8_t> body(100, 0x77);
  constexpr int kRounds = 50, kFloodPerRound = 100;
  int floodHeard = 0, honestHeard = 0;
  const auto drain = [&] {
    while (auto d = VoiceRig::ReceiveVoice(listener, 0)) (d->back() == 0x77 ? floodHeard : honestHeard)++;
    while (flood.voice->Receive(0)) {
    }
    while (honest.voice->Receive(0)) {
    }
  };
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t before = rig.Server().Counters().UdpPacketsReceived.load();
    for (int i = 0; i < kFloodPerRound; ++i) rig.SendVoice(flood, kVoiceChannel, body);
    rig.SendVoice(honest, kVoiceChannel, {0x01});
    // Each round is taken in before the next: no datagram is lost in the server's socket buffer.
    ASSERT_TRUE(test::Eventually(
        [&] { return rig.Server().Counters().UdpPacketsReceived.load() == before + kFloodPerRound + 1; }));
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  drain();
  const uint64_t dropped = rig.Server().Voice().droppedBudget.load();
  std::printf(
      "flood: %d sent, %d heard in %.2f s (%.0f a second; budget 100 after a burst of 100), %llu dropped;"
      " honest: %d of %d heard\n",
      kRounds * kFloodPerRound, floodHeard, seconds, floodHeard / seconds, static_cast<unsigned long long>(dropped),
      honestHeard, kRounds);
  EXPECT_EQ(honestHeard, kRounds);
  EXPECT_GE(floodHeard, 100);
  EXPECT_LE(floodHeard, 100 + static_cast<int>(seconds * 100 * 1.2) + 10);
  EXPECT_EQ(dropped, static_cast<uint64_t>(kRounds * kFloodPerRound - floodHeard));
  EXPECT_EQ(flood.record->Traffic.UdpPacketsReceived.load(), 1u + kRounds * kFloodPerRound);
}

}  // namespace
}  // namespace qm
