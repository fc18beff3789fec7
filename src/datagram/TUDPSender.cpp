#include "datagram/TUDPSender.hpp"

#include <cstring>
#include <string>

#include "clients/RelayIndex.hpp"
#include "control/WireId.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {
// The place relay faults have always been logged under; operators' filters know it.
const char* const kPassPlace = "TUDPSender.ProcessUDPList";
}  // namespace

TUDPSender::TUDPSender(UdpEndpoint& udpServer, TrafficCounters& counters, VoiceStats& stats, NanoClock now)
    : udpServer_(udpServer), counters_(counters), stats_(stats), now_(now) {
  arena_.reserve(kMaxStagedBytes);
  staged_.reserve(kMaxStagedCopies);
  outgoing_.reserve(kMaxStagedCopies);
  received_.reserve(kMaxStagedCopies);
}

void TUDPSender::StageVoice(RelayIndex& index, TServerClient& speaker, uint8_t* data, size_t size, int64_t receivedNs) {
  if (Terminated()) return;
  const auto key = static_cast<uint16_t>(speaker.SessionKey());
  size_t copies = 0;
  if (data[6] == kVoiceChannel) {
    const int32_t channel = speaker.ChannelId();
    const RelayIndex::Members* members = index.ChannelLocked(channel);
    if (!members) return;
    for (TServerClient* c : *members) {
      // The record's own channel decides: the index only narrows the search.
      if (c == &speaker || c->Leaving() || c->ChannelId() != channel) continue;
      // No address yet (no datagram from it): nothing to send to, and not worth a line.
      const NetAddress to = c->Peer();
      if (!to.IsSet()) continue;
      Stage(c, to, data, size, static_cast<uint16_t>(c->SessionKey()), false);
      ++copies;
    }
  } else if (data[6] == kVoiceWhisper) {
    switch (ConvertWhisper(data, size, targets_)) {
      case WhisperStatus::kNoTargetCount:
        // Malformed whispers arrive at datagram rate, so the line is limited.
        WriteLogLimited(ExceptionLine(kPassPlace, EBufferError("Not enough data in buffer.")), kLogException,
                        "relay pass");
        return;
      case WhisperStatus::kShortTargets:
        WriteLogLimited(
            "Dropped a whisper udp packet with fewer targets than its count from client :" + speaker.ClientName(),
            kLogWarning, std::to_string(key));
        return;
      case WhisperStatus::kConverted:
        break;
    }
    if (targets_.none()) return;
    for (const ClientPtr& p : index.AllLocked()) {
      TServerClient* c = p.get();
      if (c == &speaker || c->Leaving()) continue;
      const unsigned wirePlayer = ToWireId(c->PlayerId());  // 256 for player 255: never a target
      if (wirePlayer > 255 || !targets_.test(wirePlayer)) continue;
      const NetAddress to = c->Peer();
      if (!to.IsSet()) {
        // A whisper names a client that never sent a datagram: the send it would have failed,
        // logged and limited per recipient (channel voice skips such clients silently).
        WriteLogLimited(ExceptionLine(kPassPlace, UdpEndpoint::DescribeSendError(platform::kErrAddrNotAvail)),
                        kLogWarning, std::to_string(c->SessionKey()));
        continue;
      }
      Stage(c, to, data, size, static_cast<uint16_t>(c->SessionKey()), true);
      ++copies;
    }
  }
  // Measured once its last copy has left (a full arena may have sent its first ones already).
  if (receivedNs != 0 && copies != 0) received_.push_back(receivedNs);
}

void TUDPSender::StagePong(const NetAddress& to, const PingDatagram& pong) {
  Stage(nullptr, to, pong.data(), pong.size(), 0, false);
}

void TUDPSender::Stage(TServerClient* recipient, const NetAddress& to, const uint8_t* data, size_t size, uint16_t key,
                       bool whisper) {
  if (staged_.size() >= kMaxStagedCopies || (!staged_.empty() && arena_.size() + size > kMaxStagedBytes)) SendStaged();
  const size_t offset = arena_.size();
  arena_.resize(offset + size);
  std::memcpy(arena_.data() + offset, data, size);
  if (recipient) StampVoiceCopy(arena_.data() + offset, size, key);
  staged_.push_back(Staged{offset, size, recipient, to, whisper});
}

void TUDPSender::SendStaged() {
  const size_t n = staged_.size();
  if (n != 0) {
    outgoing_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const Staged& s = staged_[i];
      outgoing_[i] = UdpEndpoint::Outgoing{arena_.data() + s.offset, s.size, s.to.ip, s.to.port, 0};
    }
    udpServer_.SendDatagrams(outgoing_.data(), static_cast<int>(n));
  }
  const int64_t sentNs = received_.empty() ? 0 : now_();
  for (const int64_t at : received_) stats_.relayDelay.Record(sentNs - at);
  received_.clear();
  uint32_t packets = 0, bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    const Staged& s = staged_[i];
    const int error = outgoing_[i].error;
    if (error == 0) {
      const auto size = static_cast<uint32_t>(s.size);
      if (s.recipient) s.recipient->Traffic.CountUdpSent(1, size);
      ++packets;
      bytes += size;
    } else if (s.whisper) {
      // Limited per recipient so a chatty speaker cannot fill the disk. A lost copy of channel
      // voice is not worth a line: the next one follows in milliseconds.
      WriteLogLimited(ExceptionLine(kPassPlace, UdpEndpoint::DescribeSendError(error)), kLogWarning,
                      std::to_string(s.recipient->SessionKey()));
    }
  }
  if (packets != 0) {
    counters_.CountUdpSent(packets, bytes);
  }
  arena_.clear();
  staged_.clear();
}

}  // namespace qm
