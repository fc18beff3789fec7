// Voice is bound to the host of its control connection: a second loopback address stands in for
// a stranger who sweeps every session key.
#include <gtest/gtest.h>

#include "datagram/VoiceTestClients.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;

TEST(ForeignHost, AKeySweepFromAnotherHostTakesOverNothingWhileNatRebindingStillWorks) {
  VoiceRig rig;
  VoicePeer& alice = rig.Add("Alice");
  VoicePeer& bob = rig.Add("Bob");
  const NetAddress alicePeer = alice.record->Peer(), bobPeer = bob.record->Peer();

  // Pings and voice for every key, from 127.0.0.2.
  client::VoiceClient stranger("127.0.0.2");
  const uint32_t before = rig.Server().Counters().UdpPacketsReceived.load();
  for (uint32_t key = 0; key <= 0xFFFF; ++key) {
    const PingDatagram ping = ComposePing(key, kPingRequest, 1);
    stranger.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  }
  const std::vector<uint8_t> body(20, 0x11);
  for (const VoicePeer* victim : {&alice, &bob})
    for (uint32_t id = 1; id <= 5; ++id)
      stranger.SendTo(rig.server.UdpPort(), ComposeVoice(victim->key, 0, 0, id, body.data(), body.size()));
  const uint32_t counted =
      alice.record->Traffic.UdpPacketsReceived.load() + bob.record->Traffic.UdpPacketsReceived.load();
  EXPECT_EQ(counted, 2u);                                                // the announcing pings
  EXPECT_GT(rig.Server().Counters().UdpPacketsReceived.load(), before);  // the server counts what it refuses
  // One socket, handled in order: once Bob's own ping is answered, the sweep has been handled.
  // (A full receive buffer may drop the ping itself, so it is repeated.)
  const PingDatagram bobPing = ComposePing(bob.key, kPingRequest, 4);
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    bob.voice->SendTo(rig.server.UdpPort(), bobPing.data(), bobPing.size());
    answered = VoiceRig::ReceiveFamily(bob, kPingMagic, 500).has_value();
  }
  ASSERT_TRUE(answered);

  EXPECT_FALSE(stranger.Receive(300)) << "a pong or voice reached the stranger";
  EXPECT_EQ(alice.record->Peer(), alicePeer);
  EXPECT_EQ(bob.record->Peer(), bobPeer);
  EXPECT_EQ(alice.record->Traffic.UdpPacketsReceived.load(), 1u);
  while (VoiceRig::ReceiveFamily(bob, kPingMagic, 100)) {
  }
  EXPECT_FALSE(VoiceRig::ReceiveVoice(alice, 300));
  EXPECT_FALSE(VoiceRig::ReceiveVoice(bob, 300));

  // The real owners still talk to each other.
  rig.SendVoice(bob, 0, body);
  EXPECT_TRUE(VoiceRig::ReceiveVoice(alice));

  // The owner's own host may change its port (NAT rebinding): the pong follows the new port.
  client::VoiceClient rebound("127.0.0.1");
  const PingDatagram ping = ComposePing(alice.key, kPingRequest, 2);
  rebound.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  EXPECT_TRUE(rebound.Receive(2000));
  EXPECT_EQ(alice.record->Peer().port, rebound.LocalPort());

  // The sweep left a handful of rate-limited lines, not one per datagram.
  size_t alerts = 0;
  for (const auto& line : rig.server.LogLines()) alerts += line.find("ALERT UDP") != std::string::npos;
  EXPECT_GE(alerts, 1u);
  EXPECT_LE(alerts, 20u);
}

}  // namespace
}  // namespace qm
