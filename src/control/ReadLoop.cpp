// One pass of a control connection: read one packet, dispatch it by command code, count it, and
// take the close path when told to.
#include <algorithm>
#include <array>
#include <cstring>

#include "clients/ClientLog.hpp"
#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"
#include "platform/SplitMix.hpp"
#include "platform/TokenBucket.hpp"

namespace qm {
namespace {

// The packet buffer belongs to the connection's thread. It is cleared every pass so fields past
// the bytes received read as zero, never as a previous packet's.
thread_local std::array<uint8_t, kPacketBufferSize> tPacket;

// The connection's channel-change budget. Each connection has a thread of its own for its whole
// life (no pool), so the thread's copy is the connection's, full when it starts.
struct ChannelChangeBudget {
  TokenBucket bucket;
  bool configured = false;
  uint32_t perSecond = 0;  // the rate it was set up with: a reload that changes it starts it again
};
thread_local ChannelChangeBudget tChannelChanges;

}  // namespace

ControlHandlers::ControlHandlers(const ControlServices& services)
    : counters_(services.counters),
      settings_(services.settings),
      clock_(services.clock),
      clientList_(&services.clients),
      channelList_(&services.channels),
      startTime_(services.startTime),
      serverVersion_(services.serverVersion),
      randomState_(services.sessionKeySeed) {}

uint32_t ControlHandlers::RandomSessionKey() {
  // Successive states of one generator; the range is 1..50,000.
  const uint64_t z = SplitMix64(randomState_.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed));
  return static_cast<uint32_t>(z % 50000) + 1;
}

void ControlHandlers::TCPServerExecute(TcpContext& context) {
  TcpConnection& conn = *context.connection;
  // Everything this pass logs, the exception line included, the peer could provoke at packet rate.
  const LogSourceScope logSource(conn.PeerAddress());
  try {
    ClientPtr c = context.Slot<TServerClient>();
    bool close = false;

    if (c) {
      if (c->Leaving())
        close = true;
      else
        c->Flush();
    }

    if (!AwaitPacket(conn)) close = true;
    size_t n = 0;
    if (!close) {
      const size_t size = ReadPacket(conn, n);
      // A change past the budget waits its turn here, before anyone hears of it.
      const bool paced = c && ParseHeader(tPacket.data(), size).command == kCmdClientChangeRoom;
      close = paced && !PaceChannelChange(conn);
      if (!close) close = Dispatch(context, c, tPacket.data(), size);
    }

    const auto bytes = static_cast<uint32_t>(n + 1);
    counters_.CountTcpReceived(1, bytes);
    if (c && !c->Leaving()) {
      c->Traffic.CountTcpReceived(1, bytes);
      c->TouchActivity();
      c->Flush();
    }

    // A connection closed during the pass (its peer fell behind its output bound, or a write
    // failed) takes the close path now, or the client would stay listed with no thread left to
    // remove it.
    if (!close && c && !conn.IsConnected()) close = true;

    if (close) CloseConnection(conn, c);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TCPServerExecute", e, "excption"), kLogException);
  }
}

bool ControlHandlers::AwaitPacket(TcpConnection& conn) {
  // A packet is its first byte and whatever follows within 1 ms, not its length field: the
  // clients send one command per burst and rely on this framing.
  tPacket.fill(0);
  try {
    conn.ReadExact(tPacket.data(), 1);
    conn.CheckClosed();
    conn.WaitForInput(1);
  } catch (const std::exception&) {
    return false;
  }
  return conn.IsConnected();
}

size_t ControlHandlers::ReadPacket(TcpConnection& conn, size_t& n) {
  n = conn.InputSize();
  // A burst longer than the buffer is cut; the rest is taken and discarded so the next pass
  // starts on fresh bytes.
  const size_t keep = std::min(n, kPacketBufferSize - 1);
  conn.ReadExact(tPacket.data() + 1, keep);
  if (n > keep) {
    std::array<uint8_t, 1024> discard;
    for (size_t left = n - keep; left > 0;) {
      const size_t step = std::min(left, discard.size());
      conn.ReadExact(discard.data(), step);
      left -= step;
    }
  }
  return keep + 1;
}

bool ControlHandlers::Dispatch(TcpContext& context, const ClientPtr& c, const uint8_t* packet, size_t size) {
  bool close = true;
  const int16_t command = ParseHeader(packet, size).command;
  if (command == kCmdClientLogin) {
    close = ClientLogin(context, packet, size);
  } else if (c) {
    close = false;
    switch (command) {
      case kCmdClientSetup:
        close = ClientSetup(packet, size, c);
        break;
      case kCmdClientChangeRoom:
        ClientChangeRoom(packet, size, c);
        break;
      case kCmdClientLeave:
        close = ClientLeave(c);
        break;
      case kCmdPlayerStatsReq:
        PlayerStatsReq(packet, size, c);
        break;
      case kCmdServerStatsReq:
        ServerStatsReq(packet, size, c);
        break;
      case kCmdAdminLogin:
        AdminLogin(packet, size, c);
        break;
      case kCmdAdminCreateRoom:
        AdminCreateRoom(packet, size, c);
        break;
      case kCmdAdminDeleteRoom:
        AdminDeleteRoom(packet, size, c);
        break;
      case kCmdAdminKickPlayer:
        AdminKickPlayer(packet, size, c);
        break;
      case kCmdAdminChangeServerPassword:
        AdminChangeServerPassword(packet, size, c);
        break;
      case kCmdAdminSaveAsDefaultChannels:
        AdminSaveAsDefaultChannels(packet, size, c);
        break;
      case kCmdAdminChangeAdminPassword:
        AdminChangeAdminPassword(packet, size, c);
        break;
      default:
        break;  // unknown commands are ignored, the connection stays
    }
  }
  return close;
}

bool ControlHandlers::PaceChannelChange(TcpConnection& conn) {
  ChannelChangeBudget& budget = tChannelChanges;
  const auto perSecond = static_cast<uint32_t>(std::max(0, LiveSetting(settings_.ChannelChangesPerSecond)));
  if (!budget.configured || budget.perSecond != perSecond) {
    budget.bucket.Configure(perSecond, perSecond * kChannelChangeBurstSeconds, clock_.TickCount());
    budget.configured = true;
    budget.perSecond = perSecond;
  }
  bool waited = false;
  return WaitForBudget(conn, clock_, [&]() -> uint32_t {
    const uint32_t now = clock_.TickCount();
    if (budget.bucket.TryTake(now)) return 0;
    if (!waited) pacing_.channelChangeWaits.fetch_add(1, std::memory_order_relaxed);
    waited = true;
    return std::max<uint32_t>(1, budget.bucket.WaitMs(now));
  });
}

void ControlHandlers::CloseConnection(TcpConnection& conn, const ClientPtr& c) {
  if (c) {
    LogEventAlways("TCP/IP", "Disconnected", 0, c.get());
    WriteLogAlways("Connection ended: " + WhoFrom(*c), kLogProgress);
  } else {
    LogEvent("TCP/IP", "Disconnected", 0, nullptr);
  }
  if (c) {
    clientList_->RemoveClient(c, PlayerLeftNotice(*c, kLeftReasonLeft));
    WriteLogAlways("Distroying client " + c->ClientName() + "[" + std::to_string(ToWireId(c->PlayerId())) + "]",
                   kLogProgress);
    c->Destroy();
  }
  // What is still queued for it (its leave or kick notice) goes out first, bounded by the
  // send time-out; only this connection's thread waits for that.
  conn.Close();
}

}  // namespace qm
