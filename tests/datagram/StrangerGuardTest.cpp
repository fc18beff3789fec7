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

using Kind = G::Stranger::Kind;
using V = G::Verdict;

// A key of a client on the source's own host, the client busy on another port: a NAT rebinding
// as far as the guard can tell.
V Claim(G& g, const NetAddress& from, uint32_t now, uint32_t quietMs = 0) {
  return g.Admit(from, now, G::Stranger{Kind::kClaim, 7, false, quietMs});
}
V FirstDatagram(G& g, const NetAddress& from, uint32_t now) {
  return g.Admit(from, now, G::Stranger{Kind::kClaim, 8, true, 0});
}
V Unknown(G& g, const NetAddress& from, uint32_t now, uint16_t key) {
  return g.Admit(from, now, G::Stranger{Kind::kUnknownKey, key, false, 0});
}

TEST(StrangerGuard, APortPastItsBudgetInOneWindowIsIgnoredForItsTimeAndSpreadDatagramsAreNot) {
  G g;
  const NetAddress a{kHostA, 4000}, spread{kHostA, 4001};
  for (uint32_t i = 0; i < G::kPortBudget; ++i) EXPECT_EQ(Claim(g, a, kStart + i * 11000), V::kUse);
  const uint32_t from = kStart + G::kWindowMs - 1;
  EXPECT_EQ(Claim(g, a, from), V::kDrop);  // the sixth within 60 s
  EXPECT_EQ(Unknown(g, a, from + G::kIgnoreMs - 1, 1), V::kIgnored);
  EXPECT_EQ(FirstDatagram(g, a, from + G::kIgnoreMs - 1), V::kIgnored);
  EXPECT_EQ(Claim(g, a, from + G::kIgnoreMs), V::kUse);  // counting starts afresh

  // One more than the budget, but no six of them within 60 s.
  const uint32_t later = from + G::kIgnoreMs;
  for (uint32_t i = 0; i <= G::kPortBudget; ++i) EXPECT_EQ(Claim(g, spread, later + i * 12001), V::kUse);

  // A dropped client still sending its old key counts once; a sweep counts every key.
  const NetAddress stale{kHostA, 4002};
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Unknown(g, stale, later + i, 77), V::kDrop);
  for (uint16_t key = 1; key < G::kPortBudget; ++key) Unknown(g, stale, later + 100, key);
  EXPECT_EQ(Unknown(g, stale, later + 101, 77), V::kDrop);
  EXPECT_EQ(Unknown(g, stale, later + 102, 78), V::kIgnored);
}

// A forger sends unknown keys from many ports of a player's address: the address is guarded, yet
// what only the player can send (its key from its host) still finds its way.
TEST(StrangerGuard, ForgedPortsGuardAnAddressButItsClientsStillMoveWhenSilentAndLogIn) {
  G g;
  for (uint16_t port = 1000; port <= 1000 + G::kHostBudget; ++port)
    EXPECT_EQ(Unknown(g, NetAddress{kHostA, port}, kStart, port), V::kDrop);
  const NetAddress fresh{kHostA, 3000};
  EXPECT_EQ(Claim(g, NetAddress{kHostB, 3000}, kStart + 1), V::kUse);  // other addresses are not guarded
  EXPECT_EQ(FirstDatagram(g, fresh, kStart + 1), V::kUse);             // a new login
  for (int i = 0; i < 50; ++i)  // a busy client stays, and its claimer's port is not used up by trying
    EXPECT_EQ(Claim(g, fresh, kStart + 2 + i, G::kQuietMs - 1), V::kDrop);
  EXPECT_EQ(Claim(g, fresh, kStart + 100, G::kQuietMs), V::kProbe);  // a silent one is asked
  // A few new logins a window, whoever asks.
  uint32_t logins = 1;
  for (uint16_t port = 3001; port < 3020; ++port)
    logins += FirstDatagram(g, NetAddress{kHostA, port}, kStart + 200) == V::kUse;
  EXPECT_EQ(logins, G::kGuardedClaims);
  EXPECT_EQ(FirstDatagram(g, NetAddress{kHostA, 3030}, kStart + 300), V::kDrop);
  EXPECT_EQ(FirstDatagram(g, NetAddress{kHostA, 3030}, kStart + G::kWindowMs), V::kUse);  // the next window
  // Unknown keys still count per port while guarded: a sweeping port is ignored as before.
  const NetAddress sweeper{kHostA, 5000};
  for (uint16_t key = 1; key <= G::kPortBudget + 1; ++key) Unknown(g, sweeper, kStart + G::kWindowMs + key, key);
  EXPECT_EQ(FirstDatagram(g, sweeper, kStart + G::kWindowMs + 10), V::kIgnored);
  // The guard ends after its time.
  EXPECT_EQ(Claim(g, NetAddress{kHostA, 6000}, kStart + G::kIgnoreMs + 1), V::kUse);
}

TEST(StrangerGuard, AFullTableNeverLetsANewcomerThroughUnbounded) {
  // Full of ignored entries: one address's table entry and seven of its ports.
  G full(8);
  uint32_t tick = kStart;
  for (uint16_t port = 1; port <= 7; ++port)
    for (uint32_t i = 0; i <= G::kPortBudget; ++i) Claim(full, NetAddress{kHostA, port}, ++tick);
  uint32_t usable = 0;
  for (int i = 0; i < 20; ++i) usable += Claim(full, NetAddress{kHostB, 9}, ++tick) == V::kUse;
  EXPECT_EQ(usable, 0u);
  EXPECT_EQ(Claim(full, NetAddress{kHostB, 9}, tick + G::kIgnoreMs), V::kUse);  // once the ignores end

  // Full of counting entries, and a flood of fresh ports between each of a newcomer's datagrams
  // to push its count out: every address is then guarded, so a busy client is never taken and
  // unbound ones only a few times a window.
  G churned(64);
  uint16_t port = 10000;
  usable = 0;
  uint32_t firsts = 0;
  for (int i = 0; i < 200; ++i) {
    usable += Claim(churned, NetAddress{kHostB, 9}, kStart + i) == V::kUse;
    firsts += FirstDatagram(churned, NetAddress{kHostB, static_cast<uint16_t>(20000 + i)}, kStart + i) == V::kUse;
    for (int j = 0; j < 64; ++j) Unknown(churned, NetAddress{kHostA, ++port}, kStart + i, 5);
  }
  EXPECT_LE(usable, G::kPortBudget);
  EXPECT_LE(firsts, G::kPortBudget + G::kGuardedClaims);
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

// UDP source addresses are forged freely: unknown keys from many ports of the players' address,
// then one datagram from each of a crowd of addresses. Nobody of that address may lose voice for
// it: a new login is answered and heard, a player whose port changes is heard from the new one,
// and a key sweep from the address still finds nothing, an unannounced player's key included.
TEST(StrangerGuardServer, ForgedPortsAndAForgedCrowdKeepNoPlayerFromVoiceAndLetNoSweepThrough) {
  VoiceRig rig;
  VoicePeer& speaker = rig.Add("Speaker");
  VoicePeer& victim = rig.Add("Victim");
  const std::vector<uint8_t> body(20, 0x55);
  using Clock = std::chrono::steady_clock;
  const auto msSince = [](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
  };
  uint16_t unknownKey = 0;
  const auto forge = [&](const std::string& address) {
    do ++unknownKey;
    while (rig.Server().Clients().FindClientByKey(unknownKey));
    client::VoiceClient forger(address);
    const PingDatagram ping = ComposePing(unknownKey, kPingRequest, 1);
    forger.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
  };
  // Speaks from the peer's current socket until the listener hears it: milliseconds, -1 never.
  const auto heardAfter = [&](VoicePeer& from, VoicePeer& listener, int limitMs) {
    while (VoiceRig::ReceiveVoice(listener, 50)) {
    }
    const auto start = Clock::now();
    while (msSince(start) < limitMs) {
      rig.SendVoice(from, 0, body);
      if (VoiceRig::ReceiveVoice(listener, 20)) return msSince(start);
    }
    return -1.0;
  };

  for (uint32_t i = 0; i <= StrangerGuard::kHostBudget; ++i) forge("127.0.0.1");
  ASSERT_TRUE(rig.server.WaitForLog("Guarding new udp ports of 127.0.0.1"));
  auto start = Clock::now();
  VoicePeer& late = rig.Add("Late");  // fails unless its ping is answered
  const double answered = msSince(start);
  const double lateHeard = heardAfter(late, speaker, 5000);
  victim.voice = std::make_unique<client::VoiceClient>();  // its router moved it; the old port is silent
  const double movedAfterForgedPorts = heardAfter(victim, speaker, 10000);

  // A lucky guess of a silent player's key from another port: the player answers the server's
  // question from where it is, and stays there.
  VoicePeer& listener = rig.Add("Listener");
  client::VoiceClient thief("127.0.0.1");
  const PingDatagram theft = ComposePing(listener.key, kPingRequest, 1);
  uint32_t asked = 0;
  start = Clock::now();
  while (msSince(start) < 3000) {
    thief.SendTo(rig.server.UdpPort(), theft.data(), theft.size());
    while (auto d = listener.voice->Receive(50)) {
      PingFields ping;
      if (ParsePingFields(d->data(), d->size(), ping) && ping.echo == kServerPingEcho) {
        ++asked;
        const PingDatagram answer = ComposePing(listener.key, kPingAnswer, kServerPingEcho);
        listener.voice->SendTo(rig.server.UdpPort(), answer.data(), answer.size());
      }
    }
  }
  EXPECT_GE(asked, 1u);
  EXPECT_FALSE(thief.Receive(100));
  EXPECT_EQ(listener.record->Peer().port, listener.voice->LocalPort());

  for (int i = 0; i < 2100; ++i) forge("127." + std::to_string(10 + i / 200) + "." + std::to_string(i % 200) + ".7");
  victim.voice = std::make_unique<client::VoiceClient>();
  const double movedAfterCrowd = heardAfter(victim, speaker, 10000);
  std::printf(
      "new login answered in %.0f ms, heard %.0f ms later; port changes heard in %.0f ms (forged ports), %.0f ms "
      "(forged crowd)\n",
      answered, lateHeard, movedAfterForgedPorts, movedAfterCrowd);
  EXPECT_GE(lateHeard, 0);
  EXPECT_GE(movedAfterForgedPorts, 0);
  EXPECT_GE(movedAfterCrowd, 0);
  EXPECT_EQ(victim.record->Peer().port, victim.voice->LocalPort());

  // A sweep from one port of the same address; one player has not announced its port yet.
  VoicePeer& quiet = rig.Add("Quiet", false);
  if (std::min({speaker.key, victim.key, quiet.key}) <= G::kPortBudget + 1)
    GTEST_SKIP() << "a key among the first guesses";
  client::VoiceClient stranger("127.0.0.1");
  uint32_t reached = 0, sent = 0, heard = 0;
  start = Clock::now();
  for (uint32_t key = 1; key <= 50000 && msSince(start) < 20000; ++key) {
    const PingDatagram ping = ComposePing(key, kPingRequest, 1);
    stranger.SendTo(rig.server.UdpPort(), ping.data(), ping.size());
    if (key % 100 != 0) continue;
    while (stranger.Receive(0)) ++reached;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (key % 1000 != 0) continue;
    rig.SendVoice(speaker, 0, body);
    ++sent;
    heard += VoiceRig::ReceiveVoice(victim, 500).has_value();
  }
  while (stranger.Receive(300)) ++reached;
  std::printf("sweep: %.1f s, victim heard %u of %u, %u datagrams reached the sweeper\n", msSince(start) / 1000, heard,
              sent, reached);
  EXPECT_EQ(reached, 0u);
  EXPECT_FALSE(quiet.record->Peer().IsSet());
  EXPECT_GE(heard, sent * 95 / 100);
}

}  // namespace
}  // namespace qm
