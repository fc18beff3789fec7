#pragma once
// Clients for the datagram and keep-alive suites: each logs in over TCP and holds a UDP socket on
// loopback; the rig runs the server in-process and reaches its records directly.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "datagram/Datagrams.hpp"
#include "datagram/UdpIntake.hpp"
#include "keepalive/TPingThread.hpp"
#include "platform/Clock.hpp"
#include "support/TestServer.hpp"

namespace qm::test {

struct VoicePeer {
  std::unique_ptr<client::ControlClient> control;
  std::unique_ptr<client::VoiceClient> voice;
  uint16_t key = 0;
  ClientPtr record;
  uint32_t nextPacketId = 1;
};

class VoiceRig {
 public:
  // stopPinger: stop the server's ping thread so only the test drives ping passes and no server
  // ping lands among the voice a test expects.
  explicit VoiceRig(std::vector<IniKey> keys = {}, bool stopPinger = true) : server(std::move(keys)) {
    EXPECT_TRUE(server.Started()) << server.Server().StartupError();
    if (stopPinger && server.Probe().pingThread) {
      server.Probe().pingThread->Stop();
      server.Probe().pingThread->Join();
    }
  }

  TQuillmootServer& Server() { return server.Server(); }
  ServerProbe Probe() { return server.Probe(); }

  // One datagram of a batch fed to an intake directly, as if from a peer's UDP socket.
  struct Fed {
    std::vector<uint8_t> bytes;
    uint16_t fromPort = 0;
    int64_t receivedNs = 0;  // 0: now
  };
  // Hands the datagrams to the rig's own intake as one listener batch, on the test's thread:
  // their copies and pongs have left the server's socket when it returns. now: the receive stamps'
  // clock; it and the clock in force (for the ticks) are fixed by the first call.
  // The intake counts into the server's figures and takes the relay index lock as the listener's
  // does, so the two never handle a batch at the same time.
  void Feed(std::vector<Fed>& batch, TUDPSender::NanoClock now = platform::DatagramClockNs) {
    if (!intake_) {
      ServerProbe probe = Probe();
      relay_ = std::make_unique<TUDPSender>(*probe.udpServer, probe.counters, probe.voiceStats, now);
      intake_ = std::make_unique<UdpIntake>(
          IntakeServices{Server().Clients(), probe.counters, *relay_, probe.voiceStats, Settings(), Clock(), now});
    }
    FeedTo(*intake_, batch, now());
  }
  // Hands the datagrams to any intake as one listener batch from 127.0.0.1, received at `at`
  // unless they say otherwise.
  static void FeedTo(UdpIntake& intake, std::vector<Fed>& batch, int64_t at) {
    std::vector<platform::ReceivedDatagram> d(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
      d[i].data = batch[i].bytes.data();
      d[i].capacity = d[i].size = batch[i].bytes.size();
      d[i].ip = 0x7F000001;
      d[i].port = batch[i].fromPort;
      d[i].receivedNs = batch[i].receivedNs != 0 ? batch[i].receivedNs : at;
    }
    intake.UDPServerBatchRead(d.data(), static_cast<int>(d.size()));
  }
  // A voice datagram with the client's next packet id, for Feed.
  Fed Voice(VoicePeer& from, uint8_t kind, const std::vector<uint8_t>& body, int64_t receivedNs = 0) {
    return Fed{ComposeVoice(from.key, kind, 0x5A, from.nextPacketId++, body.data(), body.size()),
               from.voice->LocalPort(), receivedNs};
  }

  // Logs a client in; with announce, it sends a ping so the server learns its UDP address, and
  // waits for the pong.
  VoicePeer& Add(const std::string& name, bool announce = true) {
    auto p = std::make_unique<VoicePeer>();
    p->control = std::make_unique<client::ControlClient>();
    p->control->Connect("127.0.0.1", server.TcpPort());
    EXPECT_EQ(p->control->Login(name, "", "1.2.2"), kPktLoginAccepted);
    p->key = p->control->SessionKey();
    p->voice = std::make_unique<client::VoiceClient>();
    p->record = Server().Clients().FindClientByKey(p->key);
    EXPECT_TRUE(p->record);
    if (announce) {
      const PingDatagram ping = ComposePing(p->key, kPingRequest, 1);
      p->voice->SendTo(server.UdpPort(), ping.data(), ping.size());
      EXPECT_TRUE(ReceiveFamily(*p, kPingMagic, 2000)) << name << " got no pong";
    }
    peers.push_back(std::move(p));
    return *peers.back();
  }

  // Sends voice with the client's next packet id and a valid crc.
  void SendVoice(VoicePeer& from, uint8_t kind, const std::vector<uint8_t>& body, uint8_t clientByte = 0x5A) {
    const auto d = ComposeVoice(from.key, kind, clientByte, from.nextPacketId++, body.data(), body.size());
    from.voice->SendTo(server.UdpPort(), d);
  }

  // The next datagram of one family (the other family skipped), nullopt on time-out.
  static std::optional<std::vector<uint8_t>> ReceiveFamily(VoicePeer& p, uint16_t magic, int timeoutMs) {
    for (int i = 0; i < 16; ++i) {
      auto d = p.voice->Receive(timeoutMs);
      if (!d) return std::nullopt;
      DatagramHead h;
      if (ParseDatagramHead(d->data(), d->size(), h) && h.magic == magic) return d;
    }
    return std::nullopt;
  }
  static std::optional<std::vector<uint8_t>> ReceiveVoice(VoicePeer& p, int timeoutMs = 2000) {
    return ReceiveFamily(p, kVoiceMagic, timeoutMs);
  }

  TestServer server;
  std::vector<std::unique_ptr<VoicePeer>> peers;

 private:
  std::unique_ptr<TUDPSender> relay_;
  std::unique_ptr<UdpIntake> intake_;
};

}  // namespace qm::test
