// UDP intake: every datagram that reaches the server's UDP port, on the listener thread. Voice is
// checked and queued; pings are answered here. The queue is relayed once per batch the listener
// read, not once per datagram (UDPServerBatchRead).
#include "datagram/UdpIntake.hpp"

#include <string>

#include "clients/ClientLog.hpp"
#include "datagram/Datagrams.hpp"
#include "log/Log.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Voice: sequence first, checksum only when the sequence holds; either finding counts once and
// the datagram is relayed all the same. The buffer is the queue's private copy, so the crc field
// is zeroed there, not in the endpoint's receive buffer.
void CheckVoice(TServerClient& client, std::vector<uint8_t>& copy, const VoiceHeader& voice) {
  const uint32_t last = client.LastPacketId.load(std::memory_order_relaxed);
  bool bad = false;
  if (last != 0 && last + 1 != voice.packetId) {
    LogEventLimited("UDP Error", "lost packet " + std::to_string(voice.packetId), std::to_string(client.SessionKey()),
                    &client);
    bad = true;
  } else if (ZeroCrcAndCompute(copy.data(), copy.size()) != voice.crc) {
    LogEventLimited("UDP Error", "false CRC32", std::to_string(client.SessionKey()), &client);
    bad = true;
  }
  if (bad) client.BadPackets.fetch_add(1, std::memory_order_relaxed);
  client.LastPacketId.store(voice.packetId, std::memory_order_relaxed);
}

// A key is a 16-bit number anyone can sweep; what makes a datagram the client's is that it comes
// from the host of the client's control connection. Its port may differ and change (NAT
// rebinding), so only the address is compared.
bool FromControlHost(const TServerClient& client, const NetAddress& from) { return client.ControlHost() == from.ip; }

}  // namespace

void UdpIntake::UDPServerUDPRead(const uint8_t* data, size_t size, const NetAddress& from) {
  try {
    LockGuard g(s_.udpReadLock);
    TServerCounters::Add(s_.counters.UdpBytesReceived, static_cast<uint32_t>(size));
    TServerCounters::Add(s_.counters.UdpPacketsReceived, 1);

    DatagramHead head;
    // Under four bytes there is no key to find a client by: only the server's counters see it.
    if (!ParseDatagramHead(data, size, head)) return;

    const ClientPtr client = s_.clients.FindClientByKey(head.sessionKey);
    // A foreign host is told nothing, not even that the key exists: it is traced like an unknown
    // key, gets no pong and moves nothing.
    if (!client || !FromControlHost(*client, from)) {
      const std::string address = from.AddressText();
      LogEventLimited("ALERT UDP", "Incoming traffic from unknown client ip: " + address, address, nullptr);
      return;
    }
    if (client->Leaving()) {
      WriteLogLimited("ALERT UDP: Incoming traffic from leaving client :" + client->ClientName(), kLogWarning,
                      client->ClientName());
      return;
    }

    // Whatever follows the key, the datagram came from this client: its return address and
    // activity follow it. A datagram too short for its family's fields is dropped only after
    // this, like one of unknown magic, and touches no counter of the client.
    client->TouchActivity();
    client->SetPeer(from);

    if (head.magic == kVoiceMagic) {
      VoiceHeader voice;
      if (!ParseVoiceHeader(data, size, voice)) return;
      client->UdpPacketsReceived.fetch_add(1, std::memory_order_relaxed);
      client->UdpBytesReceived.fetch_add(static_cast<uint32_t>(size), std::memory_order_relaxed);
      TVoiceQueue::Buffer copy = s_.voiceQueue.Acquire();
      copy.assign(data, data + size);
      CheckVoice(*client, copy, voice);
      s_.voiceQueue.Push(std::move(copy));
      return;
    }

    if (head.magic == kPingMagic) {
      PingFields ping;
      if (!ParsePingFields(data, size, ping)) return;
      client->UdpPacketsReceived.fetch_add(1, std::memory_order_relaxed);
      client->UdpBytesReceived.fetch_add(static_cast<uint32_t>(size), std::memory_order_relaxed);
      // An echo above what clients use marks the answer to a server ping, whatever the kind.
      const uint8_t kind = ping.echo > kMaxClientEcho ? static_cast<uint8_t>(kPingAnswer) : ping.kind;
      if (kind == kPingRequest) {
        const PingDatagram pong = ComposePing(client->SessionKey(), kPingAnswer, ping.echo);
        try {
          s_.udpServer.SendDatagram(from, pong.data(), pong.size());
          TServerCounters::Add(s_.counters.UdpPacketsSent, 1);
          TServerCounters::Add(s_.counters.UdpBytesSent, static_cast<uint32_t>(pong.size()));
        } catch (const std::exception&) {
          // A lost pong is the client's to retry.
        }
      } else if (kind == kPingAnswer) {
        if (client->PingPending.load())
          client->PingRoundTrip.store(TickCount() - client->PingSentTick.load(), std::memory_order_relaxed);
        client->PingPending.store(false);
        client->PingTries.store(0);
        client->PingSentTick.store(0);
      }
    }
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TQuillmootServer.UDPServerUDPRead", e), kLogException);
  }
}

void UdpIntake::UDPServerBatchRead() {
  // The listener relays what it has just read itself: a hand-over to the relay sender thread per
  // datagram cost more than the relay. The batch's copies go out before the next read.
  s_.relay.RelayReceived();
}

}  // namespace qm
