// Clients that stop reading their control connection hold up nobody: voice keeps flowing, logins
// and channel changes stay quick, and each stalled client is dropped through the ordinary close
// path once its output queue passes its bound.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/LoginHelpers.hpp"
#include "datagram/VoiceTestClients.hpp"
#include "net/Loopback.hpp"

namespace qm {
namespace {

using namespace test;
using Steady = std::chrono::steady_clock;

long long MsSince(Steady::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t).count();
}

void KeepMax(std::atomic<long long>& slot, long long value) {
  long long seen = slot.load();
  while (value > seen && !slot.compare_exchange_weak(seen, value)) {
  }
}

TEST(StalledReaders, ClientsThatStopReadingAreDroppedAndHoldUpNoVoiceNoLogin) {
  // Long channel names make each list packet about 3 KB, so the stalled clients' own requests
  // fill their queues quickly.
  std::vector<IniKey> ini{{"General", "MaxClients", "32"}};
  for (int i = 0; i < 90; ++i)
    ini.push_back({"Channels", std::to_string(i), "channel " + std::to_string(i) + std::string(25, '.')});
  VoiceRig rig(ini, /*stopPinger=*/false);
  VoicePeer& a = rig.Add("talker a");
  VoicePeer& b = rig.Add("talker b");

  // Three clients with the smallest receive window, which never read after their login.
  constexpr int kStalled = 3;
  std::vector<Socket> stalled;
  std::vector<ClientPtr> records;
  for (int i = 0; i < kStalled; ++i) {
    stalled.emplace_back(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    int small = 1;
    ::setsockopt(stalled.back().Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    sockaddr_in to = Loopback(rig.server.TcpPort());
    ASSERT_EQ(::connect(stalled.back().Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    const Packet login = ComposeLogin({"stalled" + std::to_string(i), "", "2.0"});
    stalled.back().SendAll(std::string(login.begin(), login.end()));
    ASSERT_TRUE(Eventually([&] { return rig.Server().Clients().ClientCount() == size_t(3 + i); }));
    LockGuard g(rig.Server().Clients().Lock());
    records.push_back(rig.Server().Clients().Items().back());
  }

  std::atomic<bool> stop{false};
  std::atomic<long long> longestVoiceGapMs{0}, slowestVisitMs{0};
  std::atomic<int> voiceReceived{0}, visits{0}, failures{0};
  // Talker a speaks every 5 ms; b measures the longest silence between two datagrams.
  std::thread speaker([&] {
    while (!stop) {
      rig.SendVoice(a, kVoiceChannel, {1, 2, 3, 4});
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::thread listener([&] {
    auto last = Steady::now();
    while (!stop) {
      if (!VoiceRig::ReceiveVoice(b, 200)) continue;
      if (voiceReceived++ > 0) KeepMax(longestVoiceGapMs, MsSince(last));
      last = Steady::now();
    }
  });
  // Visitors log in, change channel and go, each visit a join, a move and a leave for everyone.
  std::thread visitor([&] {
    for (int n = 0; !stop; ++n) {
      const auto start = Steady::now();
      try {
        client::ControlClient c;
        // Another host than the stalled client's: its close-path lines then have a log budget of their own.
        c.SetLocalAddress("127.0.0.2");
        c.Connect("127.0.0.1", rig.server.TcpPort());
        if (c.Login("visitor" + std::to_string(n), "", "2.0", 10000) != kPktLoginAccepted) ++failures;
        c.Send(ComposeByteCommand(kCmdClientChangeRoom, 2));
        if (!c.WaitFor({kPktPlayerChangedChannel}, 10000)) ++failures;
      } catch (const std::exception&) {
        ++failures;
      }
      KeepMax(slowestVisitMs, MsSince(start));
      ++visits;
      // Paced, so the talkers (who read nothing until the end) are not stalled readers themselves.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // The stalled clients ask for lists they never read, until the server drops them.
  const Packet setup = ComposeSetup(0, 0);
  const auto began = Steady::now();
  auto allDropped = [&] {
    return std::all_of(records.begin(), records.end(), [](const ClientPtr& r) { return r->Destroyed(); });
  };
  while (!allDropped() && MsSince(began) < 30000) {
    for (auto& s : stalled)
      ::send(s.Get(), reinterpret_cast<const char*>(setup.data()), static_cast<int>(setup.size()),
             platform::kSendFlags);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const long long dropMs = MsSince(began);
  // A little more traffic after the drops, then stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  speaker.join();
  listener.join();
  visitor.join();

  std::printf(
      "[ info ] stalled clients dropped after %lld ms; longest voice gap %lld ms over %d datagrams; "
      "%d visits, slowest %lld ms\n",
      dropMs, longestVoiceGapMs.load(), voiceReceived.load(), visits.load(), slowestVisitMs.load());
  ASSERT_TRUE(allDropped());
  std::set<int> stalledPlayers;
  for (int i = 0; i < kStalled; ++i) {
    EXPECT_TRUE(records[i]->TcpLink()->Overrun()) << i;
    EXPECT_TRUE(rig.server.WaitForLog("Distroying client stalled" + std::to_string(i) + "[")) << i;
    stalledPlayers.insert(ToWireId(records[i]->PlayerId()));
  }
  // The others heard of each departure as of any lost connection (reason 0).
  std::set<int> announced;
  while (auto p = a.control->WaitFor({kPktPlayerLeft}, 200)) {
    const int player = p->at(8);
    if (stalledPlayers.count(player) && p->at(9) == 0) announced.insert(player);
  }
  EXPECT_EQ(announced, stalledPlayers);
  EXPECT_EQ(failures.load(), 0);
  // Generous bounds for a shared machine: the figures above are the measure.
  EXPECT_LT(longestVoiceGapMs.load(), 2000);
  EXPECT_LT(slowestVisitMs.load(), 5000);
  EXPECT_GT(visits.load(), 0);
}

}  // namespace
}  // namespace qm
