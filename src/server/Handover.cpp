// The handover (SIGUSR2): the running server brings its threads to rest without closing a socket,
// writes its state, and replaces its own image by the executable now on disk, in the same process.
// The new image takes the sockets and the state over in Server_Init. Every check that can fail is
// made before the exec (the new executable, in a child, reads a state of this layout and the ini);
// an exec that fails leaves the old image serving.
#include "platform/Handover.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "control/OperatorCommands.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"
#include "platform/Platform.hpp"
#include "server/HandoverState.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {
namespace {

// The new executable must pass its check (state and ini) within this.
constexpr int kCheckTimeoutMs = 10000;
// Every control connection's thread must come to rest between packets within this; one held
// longer (a paced login, a guess waiting its turn) makes the handover give up, not wait.
constexpr int kRestTimeoutMs = 3000;

HandoverClient ExportClient(const TServerClient& c) {
  HandoverClient h;
  h.playerId = c.PlayerId();
  h.sessionKey = c.SessionKey();
  h.name = c.ClientName();
  h.version = c.ClientVersion();
  h.channelId = c.ChannelId();
  h.admin = c.IsAdmin();
  h.leaving = c.Leaving();
  h.controlHost = c.ControlHost();
  h.udpPeer = c.Peer().Pack();
  h.connectedAt = c.ConnectedAt();
  h.lastActivity = c.LastActivity();
  h.lastActivityTick = c.LastActivityTick();
  h.traffic = c.Traffic.Snapshot();
  h.lastPacketId = c.LastPacketId.load();
  h.badPackets = c.BadPackets.load();
  h.pingRoundTrip = c.PingRoundTrip.load();
  h.pingPending = c.PingPending.load();
  h.pingSentTick = c.PingSentTick.load();
  h.pingTries = c.PingTries.load();
  h.pingDisconnect = c.PingDisconnect.load();
  h.muted = c.Muted.load();
  return h;
}

void StoreCounters(TrafficCounters& to, const std::array<uint32_t, 8>& from) {
  std::atomic<uint32_t>* fields[8] = {&to.UdpPacketsSent,     &to.UdpBytesSent,    &to.UdpPacketsReceived,
                                      &to.UdpBytesReceived,   &to.TcpPacketsSent,  &to.TcpBytesSent,
                                      &to.TcpPacketsReceived, &to.TcpBytesReceived};
  for (size_t i = 0; i < 8; ++i) fields[i]->store(from[i], std::memory_order_relaxed);
}

void ImportClient(TServerClient& c, const HandoverClient& h) {
  c.SetPlayerId(h.playerId);
  c.SetSessionKey(h.sessionKey);
  c.SetClientName(h.name);
  c.SetClientVersion(h.version);
  c.SetChannelId(h.channelId);
  c.SetIsAdmin(h.admin);
  if (h.leaving) c.SetLeaving();
  c.SetControlHost(h.controlHost);
  c.SetPeer(NetAddress::Unpack(h.udpPeer));
  c.RestoreTimes(h.connectedAt, h.lastActivity, h.lastActivityTick);
  StoreCounters(c.Traffic, h.traffic);
  c.LastPacketId = h.lastPacketId;
  c.BadPackets = h.badPackets;
  c.PingRoundTrip = h.pingRoundTrip;
  c.PingPending = h.pingPending;
  c.PingSentTick = h.pingSentTick;
  c.PingTries = h.pingTries;
  c.PingDisconnect = h.pingDisconnect;
  c.Muted = h.muted;
}

void ExportGuesses(GuessThrottle& throttle, uint8_t which, std::vector<HandoverGuess>& to) {
  for (GuessThrottle::Record& r : throttle.Export())
    to.push_back({which, r.network, std::move(r.key), r.windowStart, r.failures, r.blocked, r.blockStart});
}

void ImportGuesses(GuessThrottle& throttle, uint8_t which, const std::vector<HandoverGuess>& from) {
  std::vector<GuessThrottle::Record> records;
  for (const HandoverGuess& g : from)
    if (g.throttle == which) records.push_back({g.key, g.network, g.windowStart, g.failures, g.blocked, g.blockStart});
  throttle.Import(records);
}

std::string Figures(size_t clients, size_t channels) {
  return std::to_string(clients) + " clients, " + std::to_string(channels) + " channels, process " +
         std::to_string(platform::CurrentProcessId());
}

}  // namespace

bool TQuillmootServer::HandOver(std::string& cause) {
  const auto fail = [&](const std::string& why) {
    cause = why;
    handovers_.failed.fetch_add(1, std::memory_order_relaxed);
    const std::string line = "Handover failed, still serving with this executable: " + why;
    WriteLog(line, kLogWarning);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    return false;
  };
  if (!tcpServer_ || !udpServer_ || !tcpServer_->Active() || !udpServer_->Active())
    return fail("the server is not running");
  if (!platform::HandoverSupported()) return fail(platform::CheckExecutable(std::string(), {}, -1, 0));
  const std::string exe = platform::HandoverExecutablePath();
  WriteLog("Handover begins: " + Figures(clientList_->ClientCount(), channelList_->Count()) + ", to " + exe,
           kLogBanner);
  {
    // The new executable reads a state of the layout this one writes (its header and channels
    // suffice to tell) and the ini, in a child, while every client is still served.
    HandoverState provisional;
    provisional.startTime = startTime_;
    for (const ChannelRecord& ch : channelList_->Snapshot()) provisional.channels.push_back({ch.ChannelId, ch.Name()});
    std::string why;
    const int file = platform::CreateStateFile(WriteHandoverState(provisional), why);
    if (file < 0) return fail(why);
    std::vector<std::string> arguments = ProcessArguments();
    arguments.insert(arguments.begin(), "-HANDOVERCHECK");
    why = platform::CheckExecutable(exe, arguments, file, kCheckTimeoutMs);
    platform::CloseStateFile(file);
    if (!why.empty()) return fail(why);
  }

  // The running image, kept for the new one to go back to should its take-over fail. Not fatal:
  // without it a failed take-over ends the process, as a failed start does.
  std::string imageError;
  const int image = platform::CopyRunningImage(imageError);
  if (image < 0) WriteLog("Handover: no copy of the running executable to fall back on: " + imageError, kLogWarning);

  const uint32_t began = platform::SystemTickCount();
  if (!tcpServer_->Suspend(kRestTimeoutMs)) {
    platform::CloseStateFile(image);
    return fail("a control connection did not come to rest within " + std::to_string(kRestTimeoutMs) + " ms");
  }
  udpServer_->Suspend();

  HandoverState state;
  state.tcpListenSocket = static_cast<int32_t>(tcpServer_->ListenSocket());
  state.udpSocket = static_cast<int32_t>(udpServer_->Handle());
  state.startTime = startTime_;
  state.counters = counters_.Snapshot();
  state.handovers = handovers_.done;
  state.lastPauseMs = handovers_.lastPauseMs;
  state.pauseBeganTick = began;
  for (const ChannelRecord& ch : channelList_->Snapshot()) state.channels.push_back({ch.ChannelId, ch.Name()});
  // What the operator and the guards decided must outlive the upgrade.
  state.failures = handovers_.failed.load(std::memory_order_relaxed);
  state.draining = control_->Draining();
  if (operatorCommands_)
    state.drainStop = operatorCommands_->DrainStop().Watching(state.drainStartTick, state.drainTimeoutMs);
  ExportGuesses(control_->LoginGuesses(), 0, state.guesses);
  ExportGuesses(control_->AdminGuesses(), 1, state.guesses);

  std::string why;
  {
    // The ping thread, broadcasts and scrapes wait here; the exec ends them where they wait.
    LockGuard listGuard(clientList_->Lock());
    std::vector<std::shared_ptr<TcpContext>> open = tcpServer_->OpenConnections();
    std::vector<int> keep = {state.tcpListenSocket, state.udpSocket};
    // Logged-in clients in list order (the order every list packet has), then those not yet in.
    std::vector<std::shared_ptr<TcpContext>> ordered;
    for (const ClientPtr& c : clientList_->Items()) {
      for (auto& ctx : open) {
        if (ctx && ctx->connection == c->TcpLink()) {
          ordered.push_back(ctx);
          ctx.reset();
        }
      }
    }
    for (auto& ctx : open)
      if (ctx) ordered.push_back(ctx);
    for (const auto& ctx : ordered) {
      HandoverConnection h;
      TcpConnection& conn = *ctx->connection;
      ClientPtr client = ctx->Slot<TServerClient>();
      // What the record still holds goes to the connection's queue, which travels whole.
      if (client) client->Flush();
      h.socket = static_cast<int32_t>(conn.Handle());
      NetAddress peer;
      NetAddress::FromDotted(conn.PeerAddress(), conn.PeerPort(), peer);
      h.peerIp = peer.ip;
      h.peerPort = conn.PeerPort();
      h.unread = conn.UnreadInput();
      h.unsent = conn.UnsentOutput();
      if (client && !client->Destroyed()) {
        h.hasClient = true;
        h.client = ExportClient(*client);
      }
      keep.push_back(h.socket);
      state.connections.push_back(std::move(h));
    }
    const int stateFile = platform::CreateStateFile(WriteHandoverState(state), why);
    if (stateFile >= 0) {
      std::fflush(stdout);
      std::fflush(stderr);
      why = platform::ExecWithHandles(exe, ProcessArguments(), keep, stateFile, image);
      platform::CloseStateFile(stateFile);
    }
  }
  platform::CloseStateFile(image);
  udpServer_->Resume();
  tcpServer_->Resume();
  return fail(why);
}

bool TQuillmootServer::BeginTakeOver() {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!platform::TakeStateFile(bytes, error)) return true;
  try {
    if (!error.empty()) throw std::runtime_error(error);
    takeover_ = std::make_unique<HandoverState>(ReadHandoverState(bytes.data(), bytes.size()));
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("Server_Init (handover)", e), kLogException);
    return Fail("FATAL ERROR: Unable to take over from the earlier executable", e);
  }
  startTime_ = takeover_->startTime;
  StoreCounters(counters_, takeover_->counters);
  return true;
}

bool TQuillmootServer::TakeOverFailed() {
  if (!takingOver_) return false;
  takingOver_ = false;
  const std::string line = "Handover failed in the new executable, the earlier one takes over again: " + startupError_ +
                           (startupCause_.empty() ? std::string() : " (" + startupCause_ + ")");
  WriteLog(line, kLogWarning);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  // Threads this start made (the accept thread, the ping thread) end at the exec; the sockets it
  // adopted are still the earlier image's to adopt, and no connection was served yet.
  const std::string why = platform::FallBackToEarlierImage();
  WriteLog("Handover: cannot go back to the earlier executable: " + why, kLogException);
  return false;
}

void TQuillmootServer::RestoreChannels() {
  // The clients know the channels the earlier image had (an administrator may have changed them
  // since the ini was read): those stay, with their ids.
  LockGuard g(channelList_->Lock());
  std::vector<ChannelRecord>& items = channelList_->Items();
  items.clear();
  for (const HandoverChannel& ch : takeover_->channels) {
    ChannelRecord r;
    r.ChannelId = ch.id;
    r.NameLength = static_cast<uint8_t>(std::min<size_t>(ch.name.size(), r.NameChars.size()));
    std::copy_n(ch.name.begin(), r.NameLength, r.NameChars.begin());
    items.push_back(r);
  }
}

void TQuillmootServer::AdoptListeners() {
  // The UDP socket only once the clients are listed again (FinishTakeOver): voice that waited in
  // its queue must find its speakers.
  tcpServer_->Adopt(static_cast<platform::SocketHandle>(takeover_->tcpListenSocket));
  if (tcpServer_->BoundPort() != settings_.TCPPort)
    WriteLog("Warning: TCPPort changed in the ini; the server keeps port " + std::to_string(tcpServer_->BoundPort()) +
                 " until it is restarted",
             kLogWarning);
}

void TQuillmootServer::FinishTakeOver() {
  size_t clients = 0;
  for (HandoverConnection& h : takeover_->connections) {
    auto conn = std::make_shared<TcpConnection>(static_cast<platform::SocketHandle>(h.socket),
                                                NetAddress{h.peerIp, h.peerPort}.AddressText(), h.peerPort);
    conn->Restore(std::move(h.unread), std::move(h.unsent));
    tcpServer_->AdoptConnection(conn, [&](TcpContext& ctx) {
      if (!h.hasClient) return;
      auto client = std::make_shared<TServerClient>(conn, &ctx, &counters_);
      ImportClient(*client, h.client);
      clientList_->Append(client);
      ctx.SetSlot(client);
      ++clients;
    });
  }
  udpServer_->Adopt(static_cast<platform::SocketHandle>(takeover_->udpSocket));
  const uint32_t pause = platform::SystemTickCount() - takeover_->pauseBeganTick;
  // The earlier image, fallen back to, counts the attempt as a failure, not as a handover.
  const bool fellBack = platform::TakeFellBackMark();
  handovers_.done = takeover_->handovers + (fellBack ? 0 : 1);
  handovers_.failed = takeover_->failures + (fellBack ? 1 : 0);
  control_->SetDraining(takeover_->draining);
  if (takeover_->drainStop && operatorCommands_)
    operatorCommands_->DrainStop().Resume(takeover_->drainStartTick, takeover_->drainTimeoutMs);
  ImportGuesses(control_->LoginGuesses(), 0, takeover_->guesses);
  ImportGuesses(control_->AdminGuesses(), 1, takeover_->guesses);
  handovers_.lastPauseMs = pause;
  platform::ReleaseTakeOverHandles();
  WriteLog(
      "Handover ended: " + Figures(clients, takeover_->channels.size()) + ", pause " + std::to_string(pause) + " ms",
      kLogBanner);
  takeover_.reset();
}

}  // namespace qm
