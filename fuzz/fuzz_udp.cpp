// UDP intake and relay: any datagram, from a known or an unknown key, whispers included, fed to
// an intake over the server's clients (made as the server makes its listener's, counting into
// its figures) in listener batches whose bounds the input decides. Three clients are
// logged in once at start (two in one channel, all with UDP addresses on loopback sockets); they
// never send to the server themselves, so the listener stays idle and the batches run here.
//
// Input: records of one selector byte, a 16-bit little-endian length and that many bytes (cut to
// what is left). Selector bits 0-1: 0 keeps the datagram's own key, 1-3 writes the key of client
// 1-3 at offset 2; bit 2: sent from the client's own UDP address, else from another loopback
// port; bit 3: the checksum is made right (voice datagrams of 16 bytes or more); bit 4: the batch
// ends after this datagram. The last batch ends with the input.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "FuzzServer.hpp"
#include "client/QmClient.hpp"
#include "config/Settings.hpp"
#include "control/ControlPackets.hpp"
#include "control/WireFormat.hpp"
#include "datagram/PacketCrc32.hpp"
#include "datagram/UdpIntake.hpp"
#include "platform/Clock.hpp"
#include "support/ServerProbe.hpp"

namespace {

constexpr size_t kMaxDatagram = 8192;  // what the endpoint delivers at most
constexpr size_t kMaxRecords = 64;

struct Known {
  std::unique_ptr<qm::client::ControlClient> control;
  std::unique_ptr<qm::client::VoiceClient> voice;
  uint16_t key = 0;
};
std::vector<Known> gClients;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "udp harness: %s\n", what);
  std::abort();
}

// Never destroyed, like the server it feeds: the process ends with them.
qm::UdpIntake& Intake(qm::TQuillmootServer& server) {
  static qm::UdpIntake* intake = [&] {
    qm::test::ServerProbe probe(server);
    auto* relay = new qm::TUDPSender(*probe.udpServer, probe.counters, probe.voiceStats);
    return new qm::UdpIntake(
        qm::IntakeServices{server.Clients(), probe.counters, *relay, probe.voiceStats, qm::Settings(), qm::Clock()});
  }();
  return *intake;
}

void Setup() {
  for (int i = 0; i < 3; ++i) {
    Known k;
    k.control = std::make_unique<qm::client::ControlClient>();
    k.control->Connect("127.0.0.1", qm::fuzz::TcpPort());
    if (k.control->Login("client" + std::to_string(i + 1), "", i == 2 ? "1.2.0" : "1.2.2") != qm::kPktLoginAccepted)
      Die("login refused");
    k.control->Send(qm::ComposeSetup(0, 0));
    k.key = k.control->SessionKey();
    k.voice = std::make_unique<qm::client::VoiceClient>();
    gClients.push_back(std::move(k));
  }
  // The third client talks from another channel when there is one to change to.
  gClients[2].control->Send(qm::ComposeByteCommand(qm::kCmdClientChangeRoom, 2));
}

void Drain() {
  for (auto& k : gClients) {
    while (k.voice->Receive(0)) {
    }
    k.control->DrainRaw(0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::TQuillmootServer& server = qm::fuzz::Server();
  if (gClients.empty()) Setup();
  qm::UdpIntake& intake = Intake(server);

  // Each record keeps its own buffer: the intake works on a batch's datagrams in place.
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<qm::platform::ReceivedDatagram> batch;
  const auto handOver = [&] {
    for (size_t i = 0; i < batch.size(); ++i) batch[i].data = datagrams[i].data();
    if (!batch.empty()) intake.UDPServerBatchRead(batch.data(), static_cast<int>(batch.size()));
    datagrams.clear();
    batch.clear();
  };
  for (size_t records = 0; size >= 3 && records < kMaxRecords; ++records) {
    const uint8_t selector = data[0];
    size_t length = data[1] | (static_cast<size_t>(data[2]) << 8);
    data += 3, size -= 3;
    if (length > size) length = size;
    if (length > kMaxDatagram) length = kMaxDatagram;
    // One byte more than the datagram, so even an empty one has a real pointer.
    std::vector<uint8_t>& datagram = datagrams.emplace_back(data, data + length);
    datagram.reserve(length + 1);
    data += length, size -= length;

    const size_t who = selector & 3;
    if (who != 0 && datagram.size() >= 4) qm::StoreU16(datagram.data() + 2, gClients[who - 1].key);
    if ((selector & 8) && datagram.size() >= 16 && qm::LoadU16(datagram.data()) == 0xB0BA) {
      qm::StoreU32(datagram.data() + 12, 0);
      qm::StoreU32(datagram.data() + 12, qm::PacketCrc32(datagram.data(), datagram.size()));
    }
    // Only loopback addresses: the relay sends its copies wherever the datagrams came from.
    qm::platform::ReceivedDatagram d;
    d.size = d.capacity = datagram.size();
    d.ip = 0x7F000001;
    d.port = static_cast<uint16_t>(40000 + selector);
    if (selector & 4) d.port = gClients[who == 0 ? 0 : who - 1].voice->LocalPort();
    d.receivedNs = qm::platform::DatagramClockNs();
    batch.push_back(d);
    if ((selector & 16) || batch.size() == qm::UdpEndpoint::kReadBatch) handOver();
  }
  handOver();
  Drain();
  if (server.Clients().ClientCount() != gClients.size()) Die("a client vanished");
  return 0;
}
