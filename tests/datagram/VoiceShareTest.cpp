// Voice budgets through the real server: one address's share of speakers, the bytes budget on its
// own, the minute's line of drops (at its end, at a stop, for a client that left), and receive
// stamps judged on the monotonic clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "datagram/AddressVoiceShares.hpp"
#include "datagram/VoiceTestClients.hpp"
#include "platform/Socket.hpp"
#include "support/ClockScope.hpp"
#include "support/TestServer.hpp"
#include "support/Waits.hpp"

namespace qm {
namespace {

using test::VoicePeer;
using test::VoiceRig;
using Bytes = std::vector<uint8_t>;

// A test clock at a chosen tick, installed before the server so its listener counts on it: the
// budgets refill only when the test says.
struct FrozenClock : test::ClockScope {
  FrozenClock() : ClockScope(qm::Now(), 9'000'000) {}
};

// Sends each speaker's next `each` voice datagrams (body: the speaker's index, then padding to
// bodySize), interleaved, in bursts the receive buffers hold, and counts what the listener hears
// per speaker.
std::map<int, int> Talk(VoiceRig& rig, const std::vector<VoicePeer*>& speakers, VoicePeer& listener, int each,
                        size_t bodySize = 24) {
  std::map<int, int> heard;
  const auto drain = [&] {
    while (auto d = VoiceRig::ReceiveVoice(listener, test::kQuietMs))
      if (d->size() > kVoiceHeaderSize) ++heard[(*d)[kVoiceHeaderSize]];
  };
  uint32_t target = rig.Server().Counters().UdpPacketsReceived.load();
  int inBurst = 0;
  for (int i = 0; i < each; ++i) {
    for (size_t s = 0; s < speakers.size(); ++s) {
      Bytes body(bodySize, 0);
      body[0] = static_cast<uint8_t>(s);
      rig.SendVoice(*speakers[s], kVoiceChannel, body);
      ++target;
      if (++inBurst == 50) {
        EXPECT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsReceived.load() == target; }));
        drain();
        inBurst = 0;
      }
    }
  }
  EXPECT_TRUE(test::Eventually([&] { return rig.Server().Counters().UdpPacketsReceived.load() == target; }));
  drain();
  return heard;
}

int Total(const std::map<int, int>& heard) {
  int n = 0;
  for (const auto& [speaker, count] : heard) n += count;
  return n;
}

struct ShareRun {
  int fourHeard = 0;     // four speakers, one second's full budget each
  int sixHeard = 0;      // six, the next second
  int afterHeard = 0;    // one datagram each a second later
  uint64_t dropped = 0;  // by the address's share
  uint64_t droppedOwn = 0;
  uint32_t bad = 0;  // losses and crc findings of all six
};

// Six speakers behind 127.0.0.1 and one listener, each speaker at its whole budget (100 datagrams
// at one instant, then a second passes).
ShareRun RunShare(const std::string& speakersPerAddress) {
  FrozenClock time;
  VoiceRig rig(
      {{"Limits", "LoginsPerAddressPerSecond", "0"}, {"Limits", "VoiceSpeakersPerAddress", speakersPerAddress}});
  VoicePeer& listener = rig.Add("Ear");
  std::vector<VoicePeer*> speakers;
  for (int i = 0; i < 6; ++i) speakers.push_back(&rig.Add("Choir" + std::to_string(i)));
  const VoiceStats& stats = rig.Server().Voice();
  const uint64_t dropped = stats.droppedAddress.load(), droppedOwn = stats.droppedBudget.load();
  ShareRun r;
  r.fourHeard = Total(Talk(rig, std::vector<VoicePeer*>(speakers.begin(), speakers.begin() + 4), listener, 100));
  time.clock.AdvanceMs(1000);
  const auto six = Talk(rig, speakers, listener, 100);
  r.sixHeard = Total(six);
  time.clock.AdvanceMs(1000);
  r.afterHeard = Total(Talk(rig, speakers, listener, 1));
  r.dropped = stats.droppedAddress.load() - dropped;
  r.droppedOwn = stats.droppedBudget.load() - droppedOwn;
  for (VoicePeer* s : speakers) r.bad += s->record->BadPackets.load();
  std::printf("[ VoiceSpeakersPerAddress=%s ] 4 speakers x 100/s: heard %d; 6 speakers x 100/s: heard %d (",
              speakersPerAddress.c_str(), r.fourHeard, r.sixHeard);
  for (const auto& [speaker, count] : six) std::printf("%s%d", speaker == 0 ? "" : " ", count);
  std::printf(" per speaker, %d bytes each), dropped by the share %llu\n", static_cast<int>(kVoiceHeaderSize + 24),
              static_cast<unsigned long long>(r.dropped));
  return r;
}

TEST(VoiceShare, OneAddressIsHeardAsFourSpeakersAtMostAndFourLoseNothing) {
  const ShareRun capped = RunShare("4");
  EXPECT_EQ(capped.fourHeard, 400);  // four speakers behind one address lose nothing
  EXPECT_EQ(capped.sixHeard, 400);   // six are heard as four
  EXPECT_EQ(capped.dropped, 200u);
  EXPECT_EQ(capped.droppedOwn, 0u);  // each was within its own budget
  // A second later every speaker is heard again, and the drops moved each sequence on: no loss.
  EXPECT_EQ(capped.afterHeard, 6);
  EXPECT_EQ(capped.bad, 0u);

  const ShareRun off = RunShare("0");  // 0 switches the share off
  EXPECT_EQ(off.sixHeard, 600);
  EXPECT_EQ(off.dropped, 0u);
}

// Counting datagrams instead of bytes would let all ten through.
TEST(VoiceShare, TheBytesBudgetOnItsOwnRelaysFiveOfTenTwoHundredByteDatagrams) {
  FrozenClock time;
  VoiceRig rig({{"Limits", "VoicePacketsPerSecond", "0"}, {"Limits", "VoiceBytesPerSecond", "1000"}});
  VoicePeer& listener = rig.Add("Ear");
  VoicePeer& speaker = rig.Add("Talker");
  const uint64_t dropped = rig.Server().Voice().droppedBudget.load();
  EXPECT_EQ(Total(Talk(rig, {&speaker}, listener, 10, 200 - kVoiceHeaderSize)), 5);
  EXPECT_EQ(rig.Server().Voice().droppedBudget.load(), dropped + 5);
  EXPECT_EQ(speaker.record->BadPackets.load(), 0u);
}

// The budgets were set up once, at a speaker's first datagram, so a reload never reached anyone
// already talking.
TEST(VoiceShare, AReloadHoldsASpeakerAlreadyTalkingToTheNewBytesBudget) {
  FrozenClock time;
  VoiceRig rig({{"Limits", "VoicePacketsPerSecond", "0"}, {"Limits", "VoiceBytesPerSecond", "0"}});
  VoicePeer& listener = rig.Add("Ear");
  VoicePeer& speaker = rig.Add("Talker");
  EXPECT_EQ(Total(Talk(rig, {&speaker}, listener, 10, 200 - kVoiceHeaderSize)), 10);  // unlimited

  std::string ini = test::ReadFile(rig.server.IniPath());
  const size_t at = ini.find("VoiceBytesPerSecond=0");
  ASSERT_NE(at, std::string::npos) << ini;
  ini.replace(at, 21, "VoiceBytesPerSecond=1000");
  test::WriteFile(rig.server.IniPath(), ini);
  const ReloadOutcome r = rig.Server().Reload();
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.applied, std::vector<std::string>{"[Limits] VoiceBytesPerSecond"});
  EXPECT_TRUE(r.needsRestart.empty());
  // The same speaker, the same second: a full burst at the new rate, then held.
  const uint64_t dropped = rig.Server().Voice().droppedBudget.load();
  EXPECT_EQ(Total(Talk(rig, {&speaker}, listener, 10, 200 - kVoiceHeaderSize)), 5);
  EXPECT_EQ(rig.Server().Voice().droppedBudget.load(), dropped + 5);
}

// The minute's line once came only with a later datagram: never for a speaker who then fell
// silent, never at a stop, and its pending entry kept a departed client's record alive.
TEST(VoiceShare, TheMinutesLineComesAtItsEndAtAStopAndForAClientThatLeft) {
  FrozenClock time;
  // The ping thread runs: it writes the lines whose minute has ended.
  auto rig = std::make_unique<VoiceRig>(std::vector<test::IniKey>{}, false);
  VoicePeer& listener = rig->Add("Ear");
  VoicePeer& a = rig->Add("Quiet");
  EXPECT_EQ(Total(Talk(*rig, {&a}, listener, 300)), 100);
  time.clock.AdvanceMs(UdpIntake::kBudgetReportMs);
  EXPECT_TRUE(rig->server.WaitForLog("Voice budget exceeded by client :Quiet (200 datagrams dropped in 60 s)"));

  VoicePeer& b = rig->Add("Leaver");
  EXPECT_EQ(Total(Talk(*rig, {&b}, listener, 150)), 100);
  const std::weak_ptr<TServerClient> record = b.record;
  b.record.reset();
  b.control->Close();
  EXPECT_TRUE(test::Eventually([&] { return record.expired(); })) << "the pending line keeps the record alive";
  EXPECT_EQ(test::CountLines(rig->server, "exceeded by client :Leaver"), 0u);  // its minute is not over
  rig->server.Stop();
  EXPECT_EQ(test::CountLines(rig->server, "Voice budget exceeded by client :Leaver (50 datagrams dropped in 60 s)"),
            1u);
  EXPECT_EQ(test::CountLines(rig->server, "Voice budget exceeded"), 2u);
}

// A fixed "now" on the receive stamps' clock.
constexpr int64_t kNowNs = 1'000'000'000'000;
int64_t FixedNow() { return kNowNs; }

TEST(VoiceShare, AStampAfterNowIsNeitherLateNorANegativeDelay) {
  VoiceRig rig;
  VoicePeer& a = rig.Add("A");
  VoicePeer& b = rig.Add("B");
  const VoiceStats& stats = rig.Server().Voice();
  const uint64_t late = stats.droppedLate.load();
  const auto before = stats.relayDelay.Counts();
  const double sum = stats.relayDelay.SumSeconds();
  std::vector<VoiceRig::Fed> batch{rig.Voice(a, kVoiceChannel, {0x07}, kNowNs + 5'000'000'000)};
  rig.Feed(batch, FixedNow);
  const auto got = VoiceRig::ReceiveVoice(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->back(), 0x07);
  EXPECT_EQ(stats.droppedLate.load(), late);
  EXPECT_EQ(stats.relayDelay.Counts()[0] - before[0], 1u);  // a delay of 0
  EXPECT_EQ(stats.relayDelay.SumSeconds(), sum);
}

TEST(VoiceShare, AWallClockStampBecomesItsWaitBeforeTheReadOnTheMonotonicClock) {
  constexpr int64_t kMono = 5'000'000'000, kWall = 1'700'000'000'000'000'000;
  EXPECT_EQ(platform::WallStampToMonotonic(kWall - 30'000'000, kWall, kMono), kMono - 30'000'000);
  EXPECT_EQ(platform::WallStampToMonotonic(kWall, kWall, kMono), kMono);
  // The wall clock stepped back between the stamp and the read: no wait, never a negative one.
  EXPECT_EQ(platform::WallStampToMonotonic(kWall + 2'000'000'000, kWall, kMono), kMono);
  // Stepped forward by a day before the datagram came: its stamp and the read agree, not late.
  EXPECT_EQ(platform::WallStampToMonotonic(kWall + 86'400'000'000'000 - 1'000, kWall + 86'400'000'000'000, kMono),
            kMono - 1'000);
}

// A datagram read from a real socket carries its stamp on the monotonic clock, between the send
// and the read (the kernel's wall clock stamp once stood there as it was).
TEST(VoiceShare, AReceivedDatagramIsStampedOnTheMonotonicClock) {
  platform::SocketsStartup();
  const platform::SocketHandle s = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(s, platform::kInvalidSocket);
  sockaddr_in at = platform::ToSocketAddress(0x7F000001, 0);
  ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  socklen_t length = sizeof at;
  ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length), 0);
  platform::PrepareDatagramSocket(s);
  const int64_t before = platform::DatagramClockNs();
  const char ping[4] = {1, 2, 3, 4};
  ASSERT_EQ(::sendto(s, ping, sizeof ping, 0, reinterpret_cast<const sockaddr*>(&at), sizeof at), 4);
  ASSERT_EQ(platform::WaitReadable(s, test::kWaitMs), 1);
  uint8_t buffer[16];
  platform::ReceivedDatagram d;
  d.data = buffer;
  d.capacity = sizeof buffer;
  ASSERT_EQ(platform::ReceiveDatagrams(s, &d, 1), 1);
  const int64_t after = platform::DatagramClockNs();
  EXPECT_GE(d.receivedNs, before);
  EXPECT_LE(d.receivedNs, after);
  const int64_t steady =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  EXPECT_LT(std::abs(steady - after), 1'000'000'000);
  platform::CloseSocket(s);
}

TEST(VoiceShare, TheAddressTableFindsEveryEntryAfterPruningAndStaysBounded) {
  AddressVoiceShares shares(1, 2, 0);  // two datagrams a second per address
  const uint32_t base = 0x0A000000;
  for (uint32_t i = 0; i < 700; ++i) ASSERT_TRUE(shares.ShareOf(base + i, 0));
  // Every other address speaks at 500 ms and spends its share; the rest fall idle.
  for (uint32_t i = 0; i < 700; i += 2) {
    AddressVoiceShares::Share* s = shares.ShareOf(base + i, 500);
    ASSERT_TRUE(s);
    for (int n = 0; n < 2; ++n) {
      ASSERT_TRUE(s->Holds(500, 0));
      s->Take(0);
    }
    EXPECT_FALSE(s->Holds(500, 0));
  }
  // A second after the start the idle ones go; the others are found with their spent shares
  // (half refilled), not made anew.
  ASSERT_TRUE(shares.ShareOf(base + 1000, 1000));
  EXPECT_EQ(shares.Size(), 351u);
  for (uint32_t i = 0; i < 700; i += 2) {
    AddressVoiceShares::Share* s = shares.ShareOf(base + i, 1000);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->Holds(1000, 0));
    s->Take(0);
    EXPECT_FALSE(s->Holds(1000, 0)) << i;
  }
  // More active addresses than any server's clients: the newest go uncapped rather than probe long.
  uint32_t refused = 0;
  for (uint32_t i = 0; i < 500; ++i) refused += shares.ShareOf(0x0B000000 + i, 1000) == nullptr;
  EXPECT_EQ(shares.Size(), AddressVoiceShares::kSlots * 3 / 4);
  EXPECT_EQ(refused, 351u + 500u - AddressVoiceShares::kSlots * 3 / 4);
  EXPECT_TRUE(AddressVoiceShares(0, 100, 32000).Off());
  EXPECT_TRUE(AddressVoiceShares(4, 0, 0).Off());
}

}  // namespace
}  // namespace qm
