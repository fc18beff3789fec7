#include "SoakClient.hpp"

#include <cstdio>

#include "control/WireFormat.hpp"
#include "datagram/PacketCrc32.hpp"
#include "platform/Error.hpp"

namespace qm::soak {
namespace {

constexpr int kReplyWaitMs = 10000;  // generous: the server may run under ThreadSanitizer

}  // namespace

void SoakStats::Print() const {
  std::printf(
      "soak: logins %llu (refused %llu), voice %llu, whispers %llu, pings %llu, pongs %llu, channel changes %llu,\n"
      "soak: player stats %llu, server stats %llu, leaves %llu, drops %llu, kicks %llu, closed by the server %llu,\n"
      "soak: garbage datagrams %llu, garbage packets %llu, packets in %llu, datagrams in %llu, send failures %llu\n",
      (unsigned long long)logins, (unsigned long long)refused, (unsigned long long)voice, (unsigned long long)whispers,
      (unsigned long long)pings, (unsigned long long)pongs, (unsigned long long)channelChanges,
      (unsigned long long)playerStats, (unsigned long long)serverStats, (unsigned long long)leaves,
      (unsigned long long)drops, (unsigned long long)kicks, (unsigned long long)closedByServer,
      (unsigned long long)garbageDatagrams, (unsigned long long)garbagePackets, (unsigned long long)packetsIn,
      (unsigned long long)datagramsIn, (unsigned long long)sendFailures);
}

SoakClient::SoakClient(int index, uint16_t tcpPort) : index_(index), tcpPort_(tcpPort) {}

bool SoakClient::TryConnect() {
  Close();
  control_ = std::make_unique<client::ControlClient>();
  try {
    control_->Connect("127.0.0.1", tcpPort_, kReplyWaitMs);
    return true;
  } catch (const QmError&) {
    control_.reset();
    return false;
  }
}

bool SoakClient::LogIn(SoakStats& stats) {
  if (!control_ && !TryConnect()) return false;
  name_ = "soak" + std::to_string(index_) + "-" + std::to_string(++generation_);
  try {
    // Every fourth client speaks the older layouts.
    const int16_t answer = control_->Login(name_, "", index_ % 4 == 3 ? "1.2.0" : "1.2.2", kReplyWaitMs);
    if (answer != kPktLoginAccepted) {
      ++stats.refused;
      Close();
      return false;
    }
    key_ = control_->SessionKey();
    packetId_ = 0;
    control_->Send(ComposeSetup(0, 0));
    auto lists = control_->WaitFor({kPktListsNew, kPktListsOld}, kReplyWaitMs);
    ParsedLists parsed;
    if (!lists || !ParseLists(lists->data(), lists->size(), parsed)) {
      Close();
      return false;
    }
    listed_.clear();
    for (const auto& p : parsed.players) listed_.insert(p.name);
  } catch (const QmError&) {
    ++stats.sendFailures;
    Close();
    return false;
  }
  loggedIn_ = true;
  ++stats.logins;
  return true;
}

void SoakClient::Pump(SoakStats& stats) {
  while (auto d = voice_.Receive(0)) {
    ++stats.datagramsIn;
    // The server's own ping (echo 200) is answered with a pong, as a real client does.
    if (d->size() >= 8 && LoadU16(d->data()) == 0xAABB && (*d)[6] == 1 && (*d)[7] > 4 && loggedIn_) {
      std::vector<uint8_t> pong(*d);
      StoreU16(pong.data() + 2, key_);
      pong[6] = 2;
      SendUdp(pong);
      ++stats.pongs;
    }
  }
  if (!control_) return;
  while (control_->Receive(0)) ++stats.packetsIn;
  if (control_->WaitClosed(0)) {
    if (loggedIn_) ++stats.closedByServer;
    Close();
  }
}

void SoakClient::SendUdp(const std::vector<uint8_t>& d) {
  try {
    voice_.SendTo(static_cast<uint16_t>(tcpPort_ + 1), d);
  } catch (const QmError&) {
  }
}

void SoakClient::Voice(std::mt19937& rng, SoakStats& stats, bool whisper) {
  std::vector<uint8_t> d(16);
  StoreU16(d.data(), 0xB0BA);
  StoreU16(d.data() + 2, key_);
  d[6] = whisper ? 1 : 0;
  StoreU32(d.data() + 8, ++packetId_);
  if (whisper) {
    const uint8_t n = static_cast<uint8_t>(1 + rng() % 3);
    d.push_back(n);
    for (int i = 0; i < n; ++i) d.push_back(static_cast<uint8_t>(1 + rng() % 255));
  }
  for (int i = 0; i < 40; ++i) d.push_back(static_cast<uint8_t>(rng()));
  StoreU16(d.data() + 4, static_cast<uint16_t>(d.size()));
  StoreU32(d.data() + 12, PacketCrc32(d.data(), d.size()));
  SendUdp(d);
  ++(whisper ? stats.whispers : stats.voice);
}

void SoakClient::Act(std::mt19937& rng, SoakStats& stats) {
  if (!loggedIn_) {
    LogIn(stats);
    return;
  }
  const unsigned roll = rng() % 100;
  try {
    if (roll < 35) {
      Voice(rng, stats, false);
    } else if (roll < 43) {
      Voice(rng, stats, true);
    } else if (roll < 48) {
      std::vector<uint8_t> ping{0xBB, 0xAA, 0, 0, 12, 0, 1, 1, 0xFF, 0xEE, 0, 0};
      StoreU16(ping.data() + 2, key_);
      SendUdp(ping);
      ++stats.pings;
    } else if (roll < 60) {
      // Now and then a channel that does not exist.
      control_->Send(ComposeByteCommand(kCmdClientChangeRoom, static_cast<uint8_t>(1 + rng() % (kSoakChannels + 1))));
      ++stats.channelChanges;
    } else if (roll < 66) {
      control_->Send(ComposeByteCommand(kCmdPlayerStatsReq, static_cast<uint8_t>(1 + rng() % 255)));
      ++stats.playerStats;
    } else if (roll < 71) {
      control_->Send(ComposeCommand(kCmdServerStatsReq));
      ++stats.serverStats;
    } else if (roll < 74) {
      Leave();
      ++stats.leaves;
    } else if (roll < 77) {
      Close();
      ++stats.drops;
    } else if (roll < 78) {
      control_->Send(ComposeStringCommand(kCmdAdminLogin, kSoakAdminPassword));
      control_->Send(ComposeByteCommand(kCmdAdminKickPlayer, static_cast<uint8_t>(1 + rng() % 255)));
      ++stats.kicks;
    } else if (roll < 83) {
      std::vector<uint8_t> junk(1 + rng() % 64);
      for (auto& b : junk) b = static_cast<uint8_t>(rng());
      if (junk.size() >= 4 && rng() % 2) StoreU16(junk.data() + 2, key_);
      SendUdp(junk);
      ++stats.garbageDatagrams;
    } else if (roll < 85) {
      Packet junk = ComposeCommand(static_cast<int16_t>(rng() % 2 ? 999 : -7));
      for (int i = 0; i < 20; ++i) junk.push_back(static_cast<uint8_t>(rng()));
      control_->Send(junk);
      ++stats.garbagePackets;
    }
  } catch (const QmError&) {
    ++stats.sendFailures;
    Close();
  }
}

void SoakClient::Leave() {
  if (control_ && loggedIn_) {
    try {
      control_->Send(ComposeCommand(kCmdClientLeave));
      control_->WaitClosed(kReplyWaitMs);
    } catch (const QmError&) {
    }
  }
  Close();
}

void SoakClient::Quit(bool politely) {
  if (politely)
    Leave();
  else
    Close();
}

void SoakClient::Close() {
  if (control_) control_->Close();
  control_.reset();
  loggedIn_ = false;
}

}  // namespace qm::soak
