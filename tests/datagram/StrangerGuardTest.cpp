// Strangers on a client's own address or another one: the guard's budgets on a test tick, and key
// sweeps and claims through a real server.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "datagram/StrangerGuard.hpp"
#include "datagram/VoiceTestClients.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;
using G = StrangerGuard;

constexpr uint32_t kHostA = 0x0A000001, kHostB = 0x0A000002;
// Just before the tick wraps, so every span below crosses it.
constexpr uint32_t kStart = 0xFFFFF000u;

TEST(StrangerGuard, APortPastItsBudgetInOneWindowIsIgnoredForItsTimeAndSpreadDatagramsAreNot) {
  G g;
  const NetAddress a{kHostA, 4000}, spread{kHostA, 4001};
  for (uint32_t i = 0; i < G::kPortBudget; ++i) EXPECT_TRUE(g.CountStrange(a, kStart + i * 11000));
  const uint32_t from = kStart + G::kWindowMs - 1;
  EXPECT_FALSE(g.CountStrange(a, from));      // the sixth within 60 s
  EXPECT_FALSE(g.Ignored(spread, from + 1));  // another port of the address is not
  EXPECT_TRUE(g.Ignored(a, from + G::kIgnoreMs - 1));
  EXPECT_FALSE(g.Ignored(a, from + G::kIgnoreMs));
  EXPECT_TRUE(g.CountStrange(a, from + G::kIgnoreMs));  // counting starts afresh

  // One more than the budget, but no six of them within 60 s.
  const uint32_t later = from + G::kIgnoreMs;
  for (uint32_t i = 0; i <= G::kPortBudget; ++i) EXPECT_TRUE(g.CountStrange(spread, later + i * 12001));
  EXPECT_FALSE(g.Ignored(spread, later + 6 * 12001));

  // A dropped client still sending its old key counts once; a sweep counts every key.
  const NetAddress stale{kHostA, 4002};
  for (int i = 0; i < 20; ++i) g.CountUnknownKey(stale, later + i, 77);
  for (uint16_t key = 1; key < G::kPortBudget; ++key) g.CountUnknownKey(stale, later + 100, key);
  EXPECT_FALSE(g.Ignored(stale, later + 101));
  g.CountUnknownKey(stale, later + 101, 77);
  EXPECT_TRUE(g.Ignored(stale, later + 102));
}

TEST(StrangerGuard, ManyPortsOfOneAddressLoseEveryNewPortWhileOtherAddressesKeepTheirs) {
  G g;
  uint32_t usable = 0;
  for (uint16_t port = 1000; port < 1000 + G::kHostBudget; ++port)
    usable += g.CountStrange(NetAddress{kHostA, port}, kStart);
  EXPECT_EQ(usable, G::kHostBudget);  // one each, within every port's own budget
  EXPECT_FALSE(g.CountStrange(NetAddress{kHostA, 2000}, kStart + 1));
  EXPECT_TRUE(g.CountStrange(NetAddress{kHostB, 3000}, kStart + 2));
  EXPECT_TRUE(g.Ignored(NetAddress{kHostA, 3000}, kStart + G::kIgnoreMs));  // a port never seen before
  EXPECT_FALSE(g.Ignored(NetAddress{kHostA, 3000}, kStart + 1 + G::kIgnoreMs));
}

TEST(StrangerGuard, AFullTableNeverLetsANewcomerThroughUnbounded) {
  // Full of ignored entries: one address's table entry and seven of its ports.
  G full(8);
  uint32_t tick = kStart;
  for (uint16_t port = 1; port <= 7; ++port)
    for (uint32_t i = 0; i <= G::kPortBudget; ++i) full.CountStrange(NetAddress{kHostA, port}, ++tick);
  uint32_t usable = 0;
  for (int i = 0; i < 20; ++i) usable += full.CountStrange(NetAddress{kHostB, 9}, ++tick);
  EXPECT_EQ(usable, 0u);
  EXPECT_TRUE(full.CountStrange(NetAddress{kHostB, 9}, tick + G::kIgnoreMs));  // once the ignores end

  // Full of counting entries, and a flood from fresh addresses between each of a newcomer's
  // datagrams to push its count out.
  G churned(64);
  uint32_t fresh = 0x0B000000;
  usable = 0;
  for (int i = 0; i < 200; ++i) {
    usable += churned.CountStrange(NetAddress{kHostB, 9}, kStart + i);
    for (int j = 0; j < 64; ++j) churned.CountStrange(NetAddress{++fresh, 9}, kStart + i);
  }
  EXPECT_LE(usable, G::kPortBudget);
}

// Pings and voice for a client, from a host none of them controls from.
TEST(StrangerGuardServer, PingsAndVoiceFromAnotherAddressGetNothingAndMoveNothing) {
  VoiceRig rig;
  VoicePeer& alice = rig.Add("Alice");
  VoicePeer& bob = rig.Add("Bob");
  const NetAddress alicePeer = alice.record->Peer();
  client::VoiceClient other("127.0.0.2");
  const std::vector<uint8_t> body(20, 0x33);
  const PingDatagram ping = ComposePing(alice.key, kPingRequest, 1);
  for (uint32_t id = 1; id <= 20; ++id) {
    other.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
    other.SendTo(rig.server.UdpPort(), ComposeVoice(alice.key, 0, 0, id, body.data(), body.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // One socket, handled in order: Bob's own pong comes after everything above.
  const PingDatagram bobPing = ComposePing(bob.key, kPingRequest, 4);
  bob.voice->SendTo(rig.server.UdpPort(), bobPing.data(), bobPing.size());
  ASSERT_TRUE(VoiceRig::ReceiveFamily(bob, kPingMagic, 2000));
  EXPECT_FALSE(other.Receive(300)) << "a pong or voice reached the other address";
  EXPECT_FALSE(VoiceRig::ReceiveVoice(bob, 300));
  EXPECT_EQ(alice.record->Peer(), alicePeer);
}

// A stranger on the victim's own address sweeps keys by pings while the victim's channel talks.
TEST(StrangerGuardServer, AKeySweepFromTheVictimsOwnAddressFindsNoKeyAndTakesNoVoice) {
  VoiceRig rig;
  VoicePeer& speaker = rig.Add("Speaker");
  VoicePeer& victim = rig.Add("Victim");
  // A port's first few guesses are a NAT rebinding's allowance: a key among them measures luck.
  if (std::min(speaker.key, victim.key) <= G::kPortBudget) GTEST_SKIP() << "a key among the first guesses";
  client::VoiceClient stranger("127.0.0.1");
  const std::vector<uint8_t> body(20, 0x44);
  const auto start = std::chrono::steady_clock::now();
  uint32_t key = 1, sent = 0, heard = 0, toStranger = 0, found = 0;
  // Whatever reaches the stranger names a key at offset 2; from then on it claims that key right
  // after the victim speaks, as an attacker would.
  const auto collect = [&](int timeoutMs) {
    while (auto d = stranger.Receive(timeoutMs)) {
      DatagramHead h;
      if (ParseDatagramHead(d->data(), d->size(), h)) found = h.sessionKey;
      ++toStranger;
    }
  };
  // Chunks well under the server's receive buffer; each voice datagram is awaited, which paces.
  for (; key <= 50000 && std::chrono::steady_clock::now() < start + std::chrono::seconds(20); ++key) {
    const PingDatagram ping = ComposePing(key, kPingRequest, 1);
    stranger.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
    if (key % 100 != 0) continue;
    collect(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (key % 500 != 0) continue;
    rig.SendVoice(victim, 0, body);
    const PingDatagram claim = ComposePing(found, kPingRequest, 1);
    if (found != 0) stranger.SendTo(rig.server.UdpPort(), claim.data(), claim.size());
    rig.SendVoice(speaker, 0, body);
    ++sent;
    heard += VoiceRig::ReceiveVoice(victim, 500).has_value();
  }
  collect(300);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sweep: %u keys in %.1f s, victim heard %u of %u, %u datagrams reached the stranger\n", key - 1, seconds,
              heard, sent, toStranger);
  EXPECT_EQ(toStranger, 0u);
  EXPECT_GE(heard, sent * 95 / 100);
  const std::string line = "Ignoring udp traffic from 127.0.0.1:" + std::to_string(stranger.LocalPort());
  const auto log = rig.server.LogLines();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [&](const auto& l) { return l.find(line) != std::string::npos; }), 1);
}

}  // namespace
}  // namespace qm
