// Control packets straight into the parsers and the command handlers, in memory: no server
// threads, no socket per input, so a run reaches millions of inputs. (fuzz_control keeps the
// whole path through a real connection.)
//
// Input: one flags byte, then up to 32 packets, each a 16-bit little-endian length and that many bytes
// (cut to what is left, and to the 4096-byte packet buffer). Flags: bit 0 the first client is
// administrator, bit 1 it is a "1.2.0" client, bit 2 a server password is set, bit 3 the
// administrator password is empty, bit 4 login packets come on a fresh connection instead of the
// logged-in one. Each packet is dispatched by its command code as the read loop does; the bytes
// also go through every parser of server packets (the client side reads those from servers).
// After each input no client may have vanished from the list and no two may share an id or a key.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "config/Settings.hpp"
#include "control/ControlHandlers.hpp"
#include "control/ControlPackets.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "support/ServerProbe.hpp"

namespace {

// Enough for a login, an administrator login and a run of commands; longer inputs only cost time.
constexpr size_t kMaxPackets = 32;

// Time stands still: the log limiter's windows never roll over, so after the first inputs the
// traces are counted, not written, and nothing waits on the clock. (The guessing throttle is
// cleared before every packet, so a blocked refusal never waits for its slot.)
class StillClock : public qm::IClock {
 public:
  double Now() override { return 46000.5; }
  uint32_t TickCount() override { return 1000; }
};

struct Harness {
  StillClock clock;
  // The handlers' own: every login comes from one address at fuzzing speed, so none is paced.
  qm::ServerSettings settings;
  qm::TrafficCounters counters;
  qm::ClientList clientList;
  qm::ChannelList channelList{clientList};
  std::unique_ptr<qm::ControlHandlers> handlers;
  std::vector<std::unique_ptr<qm::TcpContext>> contexts;

  Harness() {
    qm::SetClock(&clock);
    // Lines go nowhere quickly: an empty file name fails at once.
    qm::SetLogFileName("");
    // Administrator commands that write the configuration file meet a folder that does not exist:
    // they take their failure path (what the read loop logs), and no disk sets the pace.
    const std::string dir = "/nonexistent-qmfuzz-" + std::to_string(::getpid()) + "/";
    qm::SetExeDirOverride(dir);
    qm::SetExeDir(dir);
    qm::SetIniFileName("qmserver.ini");
    settings.MaxClients = 4;
    settings.LoginsPerAddressPerSecond = 0;
    settings.Servername.Set("fuzz");
    handlers = std::make_unique<qm::ControlHandlers>(
        qm::ControlServices{counters, clientList, channelList, settings, clock, clock.Now(), "v1.2.2", 0});
  }

  // A connection context over no socket: writes to it fail, as to a peer that went away.
  qm::TcpContext& NewContext() {
    auto c = std::make_unique<qm::TcpContext>();
    c->connection = std::make_shared<qm::TcpConnection>(qm::platform::kInvalidSocket, "127.0.0.1", 40000);
    contexts.push_back(std::move(c));
    return *contexts.back();
  }

  qm::ClientPtr AddClient(qm::TcpContext& context, const char* name, bool oldClient, uint8_t id) {
    auto c = std::make_shared<qm::TServerClient>(nullptr, &context, &counters);
    c->SetClientName(name);
    c->SetClientVersion(oldClient ? "1.2.0" : "1.2.2");
    c->SetPlayerId(id);
    c->SetSessionKey(100u + id);
    c->SetControlHost(0x7F000001);
    context.SetSlot(c);
    qm::LockGuard g(clientList.Lock());
    clientList.Append(c);
    return c;
  }

  void Reset() {
    for (auto& c : clientList.TakeAll()) c->Destroy();
    for (auto& c : contexts) c->SetSlot(nullptr);
    contexts.clear();
    // The two channels, ids 0 and 1, unless an input changed them.
    const auto channels = channelList.Snapshot();
    if (channels.size() != 2 || channels[0].ChannelId != 0 || channels[0].Name() != "Lobby" ||
        channels[1].ChannelId != 1 || channels[1].Name() != "Attic") {
      for (const auto& ch : channels) channelList.DeleteChannel(ch.ChannelId, qm::ChannelDeletedNotice);
      channelList.AddChannel("Lobby");
      channelList.AddChannel("Attic");
    }
    ClearThrottles();
  }

  void ClearThrottles() {
    qm::test::ServerProbe::LoginGuesses(*handlers).Clear();
    qm::test::ServerProbe::AdminGuesses(*handlers).Clear();
  }
};

void ParseAsServerPacket(const uint8_t* p, size_t n) {
  qm::ParsedLists lists;
  qm::ParseLists(p, n, lists);
  qm::PlayerStats ps;
  bool old = false;
  qm::ParsePlayerStats(p, n, ps, old);
  qm::ServerStats ss;
  qm::ParseServerStats(p, n, ss);
  uint16_t key = 0;
  std::string name;
  qm::ParseLoginAccepted(p, n, key, name);
  qm::Notification note;
  qm::ParseNotification(p, n, note);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* h = new Harness;  // lives as long as the process
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  ++data, --size;

  h->Reset();
  h->settings.ServerPassword.Set((flags & 4) ? "door" : "");
  h->settings.AdminPassword.Set((flags & 8) ? "" : "keys");
  qm::TcpContext& own = h->NewContext();
  const qm::ClientPtr c = h->AddClient(own, "fuzz", (flags & 2) != 0, 0);
  if (flags & 1) c->SetIsAdmin(true);
  qm::TcpContext& other = h->NewContext();
  h->AddClient(other, "bystander", false, 1);
  const qm::LogSourceScope source("127.0.0.1");

  std::array<uint8_t, qm::kPacketBufferSize> packet;
  for (size_t count = 0; size >= 2 && count < kMaxPackets; ++count) {
    size_t length = data[0] | (static_cast<size_t>(data[1]) << 8);
    data += 2, size -= 2;
    if (length > size) length = size;
    // The read loop cuts a burst to its buffer and clears the rest.
    const size_t n = std::min(length, packet.size());
    packet.fill(0);
    std::copy(data, data + n, packet.begin());
    data += length, size -= length;
    if (n == 0) continue;
    const uint8_t* p = packet.data();

    ParseAsServerPacket(p, n);
    h->ClearThrottles();
    try {
      const int16_t command = qm::ParseHeader(p, n).command;
      qm::ControlHandlers& s = *h->handlers;
      switch (command) {
        case qm::kCmdClientLogin:
          s.ClientLogin((flags & 16) ? h->NewContext() : own, p, n);
          break;
        case qm::kCmdClientSetup:
          s.ClientSetup(p, n, c);
          break;
        case qm::kCmdClientChangeRoom:
          s.ClientChangeRoom(p, n, c);
          break;
        case qm::kCmdClientLeave:
          s.ClientLeave(c);
          break;
        case qm::kCmdPlayerStatsReq:
          s.PlayerStatsReq(p, n, c);
          break;
        case qm::kCmdServerStatsReq:
          s.ServerStatsReq(p, n, c);
          break;
        case qm::kCmdAdminLogin:
          s.AdminLogin(p, n, c);
          break;
        case qm::kCmdAdminCreateRoom:
          s.AdminCreateRoom(p, n, c);
          break;
        case qm::kCmdAdminDeleteRoom:
          s.AdminDeleteRoom(p, n, c);
          break;
        case qm::kCmdAdminKickPlayer:
          s.AdminKickPlayer(p, n, c);
          break;
        case qm::kCmdAdminChangeServerPassword:
          s.AdminChangeServerPassword(p, n, c);
          break;
        case qm::kCmdAdminSaveAsDefaultChannels:
          s.AdminSaveAsDefaultChannels(p, n, c);
          break;
        case qm::kCmdAdminChangeAdminPassword:
          s.AdminChangeAdminPassword(p, n, c);
          break;
        default:
          break;
      }
    } catch (const std::exception&) {
      // What the read loop logs and survives: a refusal written to a connection that is gone,
      // a configuration file that cannot be written.
    }
  }

  // Logins may have added clients; none may have vanished, nor may anyone hold a duplicate id.
  std::vector<qm::ClientPtr> clients;
  {
    qm::LockGuard g(h->clientList.Lock());
    clients = h->clientList.Items();
  }
  if (clients.size() < 2 || clients.size() > 2 + kMaxPackets) {
    std::fprintf(stderr, "packets harness: %zu clients listed\n", clients.size());
    std::abort();
  }
  for (size_t i = 0; i < clients.size(); ++i)
    for (size_t j = i + 1; j < clients.size(); ++j)
      if (clients[i]->PlayerId() == clients[j]->PlayerId() || clients[i]->SessionKey() == clients[j]->SessionKey()) {
        std::fprintf(stderr, "packets harness: two clients share an id or a key\n");
        std::abort();
      }
  return 0;
}
