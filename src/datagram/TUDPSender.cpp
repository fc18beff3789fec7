#include "datagram/TUDPSender.hpp"

#include "platform/Error.hpp"
#include "server/Log.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {

TUDPSender::~TUDPSender() {
  Terminate();
  Join();
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", kLogProgress);
  // The event is auto-reset and never reset by hand: a datagram queued after a pass took the
  // queue leaves the event set, so the next wait returns at once and nothing waits for a later one.
  while (!Terminated()) {
    server_.SystemEvent->Wait();
    if (Terminated()) break;
    ProcessUDPList();
  }
  WriteLog("UDPSender.Terminated", kLogProgress);
}

void TUDPSender::ProcessUDPList() {
  try {
    // The queue is swapped out whole and its lock released before any send, so UDP intake never
    // waits on a relay pass; the client list stays locked while copies go out, so no recipient
    // record changes membership under the pass.
    server_.voiceQueue->TakeAll(batch_);
    size_t next = 0;
    while (next < batch_.size()) {
      try {
        LockGuard g(server_.clientList->Lock());
        while (next < batch_.size()) Relay(batch_[next++]);
      } catch (const std::exception& e) {
        // The failed datagram is behind us; the rest go on in a fresh pass with the lock taken anew.
        // Malformed whispers arrive at datagram rate, so the line is limited.
        WriteLogLimited(std::string("in: TUDPSender.ProcessUDPList exception ") + DescribeException(e), kLogException,
                        "relay pass");
      }
    }
  } catch (const std::exception& e) {
    WriteLog(std::string("in: TUDPSender.ProcessUDPList exception ") + DescribeException(e), kLogException);
  }
  try {
    server_.voiceQueue->Recycle(batch_);
  } catch (...) {
    batch_.clear();
  }
}

void TUDPSender::Relay(std::vector<uint8_t>& datagram) {
  DatagramHead head;
  VoiceHeader voice;
  // Intake queues nothing shorter than the voice header; the check keeps the pass safe anyway.
  if (!ParseDatagramHead(datagram.data(), datagram.size(), head) ||
      !ParseVoiceHeader(datagram.data(), datagram.size(), voice))
    return;
  const uint16_t key = head.sessionKey;
  auto& items = server_.clientList->Items();
  TServerClient* speaker = nullptr;
  for (const auto& c : items) {
    if (c->SessionKey() == key) {
      speaker = c.get();
      break;
    }
  }
  if (!speaker) {
    WriteLog("Tried to send a udp packet from a destroyed client", kLogWarning);
    return;
  }
  if (speaker->Leaving()) {
    WriteLog("Tried to send a udp packet from a leaving client", kLogWarning);
    return;
  }

  const uint8_t kind = voice.kind;
  if (kind == kVoiceChannel) {
    const int32_t channel = speaker->ChannelId();
    for (const auto& c : items) {
      if (c.get() == speaker || c->Leaving() || c->ChannelId() != channel) continue;
      // No address yet (no datagram from it): nothing to send to. Skipped here rather than by a
      // failing send, which would cost an exception per copy.
      if (!c->Peer().IsSet()) continue;
      try {
        SendCopy(*c, datagram);
      } catch (const std::exception&) {
        // A lost copy of channel voice is not worth a line: the next one follows in milliseconds.
      }
    }
  } else if (kind == kVoiceWhisper) {
    switch (ConvertWhisper(datagram, targets_)) {
      case WhisperStatus::kNoTargetCount:
        throw EBufferError("Not enough data in buffer.");
      case WhisperStatus::kShortTargets:
        WriteLogLimited("Dropped a whisper udp packet with fewer targets than its count from client :" + speaker->ClientName(),
                        kLogWarning, std::to_string(key));
        return;
      case WhisperStatus::kConverted:
        break;
    }
    if (targets_.none()) return;
    for (const auto& c : items) {
      if (c.get() == speaker || c->Leaving()) continue;
      const unsigned wirePlayer = c->PlayerId() + 1u;  // 256 for player 255: never a target
      if (wirePlayer > 255 || !targets_.test(wirePlayer)) continue;
      try {
        SendCopy(*c, datagram);
      } catch (const std::exception& e) {
        // A copy to a client without an address fails on every whisper that names it: limited per
        // recipient so a chatty speaker cannot fill the disk.
        WriteLogLimited(std::string("in: TUDPSender.ProcessUDPList exception ") + DescribeException(e), kLogWarning,
                        std::to_string(c->SessionKey()));
      }
    }
  }
}

void TUDPSender::SendCopy(TServerClient& recipient, std::vector<uint8_t>& datagram) {
  const size_t size = datagram.size();
  StampVoiceCopy(datagram.data(), size, static_cast<uint16_t>(recipient.SessionKey()));
  server_.udpServer->SendDatagram(recipient.Peer(), datagram.data(), size);
  const auto bytes = static_cast<uint32_t>(size);
  recipient.UdpPacketsSent.fetch_add(1, std::memory_order_relaxed);
  recipient.UdpBytesSent.fetch_add(bytes, std::memory_order_relaxed);
  TQuillmootServer::Add(server_.UdpBytesSent, bytes);
  TQuillmootServer::Add(server_.UdpPacketsSent, 1);
}

}  // namespace qm
