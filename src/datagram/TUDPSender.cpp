#include "datagram/TUDPSender.hpp"

#include <cstring>

#include "clients/RelayIndex.hpp"
#include "control/WireId.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {
const char* const kPassPlace = "TUDPSender.ProcessUDPList";
}  // namespace

TUDPSender::~TUDPSender() {
  Terminate();
  Join();
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", kLogProgress);
  // The event is auto-reset and never reset by hand: a datagram queued after a pass took the
  // queue leaves the event set, so the next wait returns at once and nothing waits for a later one.
  while (!Terminated()) {
    s_.wake.Wait();
    if (Terminated()) break;
    ProcessUDPList();
  }
  WriteLog("UDPSender.Terminated", kLogProgress);
}

void TUDPSender::RelayReceived() {
  if (Terminated()) return;
  ProcessUDPList();
}

void TUDPSender::ProcessUDPList() {
  std::lock_guard<std::mutex> pass(passLock_);
  try {
    // The queue is swapped out whole and its lock released before any send, so intake never
    // waits on a relay pass. The index stays locked while copies are staged and sent, so no
    // recipient record leaves it (or is destroyed) under the pass.
    s_.voiceQueue.TakeAll(batch_);
    if (!batch_.empty()) {
      TRelayIndex& index = s_.clients.Relay();
      std::lock_guard<std::mutex> g(index.Lock());
      for (auto& datagram : batch_) {
        try {
          Relay(index, datagram);
        } catch (const std::exception& e) {
          // That datagram alone is lost; the rest of the pass goes on. Malformed whispers arrive
          // at datagram rate, so the line is limited.
          WriteLogLimited(ExceptionLine(kPassPlace, e), kLogException, "relay pass");
        }
      }
      SendStaged();
    }
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine(kPassPlace, e), kLogException);
  }
  arena_.clear();
  staged_.clear();
  try {
    s_.voiceQueue.Recycle(batch_);
  } catch (...) {
    batch_.clear();
  }
}

void TUDPSender::Relay(TRelayIndex& index, std::vector<uint8_t>& datagram) {
  DatagramHead head;
  VoiceHeader voice;
  // Intake queues nothing shorter than the voice header; the check keeps the pass safe anyway.
  if (!ParseDatagramHead(datagram.data(), datagram.size(), head) ||
      !ParseVoiceHeader(datagram.data(), datagram.size(), voice))
    return;
  const uint16_t key = head.sessionKey;
  TServerClient* speaker = index.FindLocked(key);
  if (!speaker) {
    // A speaker can queue a batch and leave at once: one line a second per key is news enough.
    WriteLogLimited("Tried to send a udp packet from a destroyed client", kLogWarning, std::to_string(key));
    return;
  }
  if (speaker->Leaving()) {
    WriteLogLimited("Tried to send a udp packet from a leaving client", kLogWarning, std::to_string(key));
    return;
  }

  const uint8_t kind = voice.kind;
  if (kind == kVoiceChannel) {
    const int32_t channel = speaker->ChannelId();
    const TRelayIndex::Members* members = index.ChannelLocked(channel);
    if (!members) return;
    for (TServerClient* c : *members) {
      // The record's own channel decides: the index only narrows the search.
      if (c == speaker || c->Leaving() || c->ChannelId() != channel) continue;
      // No address yet (no datagram from it): nothing to send to, and not worth a line.
      if (!c->Peer().IsSet()) continue;
      Stage(*c, datagram, false);
    }
  } else if (kind == kVoiceWhisper) {
    switch (ConvertWhisper(datagram, targets_)) {
      case WhisperStatus::kNoTargetCount:
        throw EBufferError("Not enough data in buffer.");
      case WhisperStatus::kShortTargets:
        WriteLogLimited(
            "Dropped a whisper udp packet with fewer targets than its count from client :" + speaker->ClientName(),
            kLogWarning, std::to_string(key));
        return;
      case WhisperStatus::kConverted:
        break;
    }
    if (targets_.none()) return;
    for (const ClientPtr& p : index.AllLocked()) {
      TServerClient* c = p.get();
      if (c == speaker || c->Leaving()) continue;
      const unsigned wirePlayer = ToWireId(c->PlayerId());  // 256 for player 255: never a target
      if (wirePlayer > 255 || !targets_.test(wirePlayer)) continue;
      Stage(*c, datagram, true);
    }
  }
}

void TUDPSender::Stage(TServerClient& recipient, const std::vector<uint8_t>& datagram, bool whisper) {
  const NetAddress to = recipient.Peer();
  if (!to.IsSet()) {
    // A whisper names a client that never sent a datagram: the send it would have failed, logged
    // and limited per recipient (channel voice skips such clients silently).
    WriteLogLimited(ExceptionLine(kPassPlace, UdpEndpoint::DescribeSendError(platform::kErrAddrNotAvail)), kLogWarning,
                    std::to_string(recipient.SessionKey()));
    return;
  }
  const size_t size = datagram.size();
  if (staged_.size() >= kMaxStagedCopies || (!staged_.empty() && arena_.size() + size > kMaxStagedBytes)) SendStaged();
  const size_t offset = arena_.size();
  arena_.resize(offset + size);
  std::memcpy(arena_.data() + offset, datagram.data(), size);
  StampVoiceCopy(arena_.data() + offset, size, static_cast<uint16_t>(recipient.SessionKey()));
  staged_.push_back(Staged{offset, size, &recipient, to, whisper});
}

void TUDPSender::SendStaged() {
  const size_t n = staged_.size();
  if (n == 0) return;
  outgoing_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const Staged& s = staged_[i];
    UdpEndpoint::Outgoing& o = outgoing_[i];
    o.data = arena_.data() + s.offset;
    o.size = s.size;
    o.ip = s.to.ip;
    o.port = s.to.port;
    o.error = 0;
  }
  s_.udpServer.SendDatagrams(outgoing_.data(), static_cast<int>(n));
  uint32_t packets = 0, bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    TServerClient& r = *staged_[i].recipient;
    const int error = outgoing_[i].error;
    if (error == 0) {
      const auto size = static_cast<uint32_t>(staged_[i].size);
      r.UdpPacketsSent.fetch_add(1, std::memory_order_relaxed);
      r.UdpBytesSent.fetch_add(size, std::memory_order_relaxed);
      ++packets;
      bytes += size;
    } else if (staged_[i].whisper) {
      // Limited per recipient so a chatty speaker cannot fill the disk. A lost copy of channel
      // voice is not worth a line: the next one follows in milliseconds.
      WriteLogLimited(ExceptionLine(kPassPlace, UdpEndpoint::DescribeSendError(error)), kLogWarning,
                      std::to_string(r.SessionKey()));
    }
  }
  TServerCounters::Add(s_.counters.UdpBytesSent, bytes);
  TServerCounters::Add(s_.counters.UdpPacketsSent, packets);
  arena_.clear();
  staged_.clear();
}

}  // namespace qm
