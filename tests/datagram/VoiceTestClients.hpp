#pragma once
// Clients for the datagram and keep-alive suites: each logs in over TCP and holds a UDP socket on
// loopback; the rig runs the server in-process and reaches its records directly.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "datagram/Datagrams.hpp"
#include "keepalive/TPingThread.hpp"
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
    EXPECT_TRUE(server.Started()) << server.Server().StartupError;
    if (stopPinger && server.Server().pingThread) {
      server.Server().pingThread->Terminate();
      server.Server().pingThread->Wake();
      server.Server().pingThread->Join();
    }
  }

  ServerProbe Server() { return server.Server(); }

  // Stops the relay thread so the test runs passes itself, between intake and relay.
  void StopRelay() {
    Server().udpSender->Terminate();
    Server().SystemEvent->Set();
    Server().udpSender->Join();
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
    p->record = Server().clientList->FindClientByKey(p->key);
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
};

}  // namespace qm::test
