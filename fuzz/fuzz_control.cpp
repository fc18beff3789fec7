// Bytes arriving on a control connection, into the read loop and every command handler.
//
// Input: one flags byte, then packets, each a 16-bit little-endian length and that many bytes
// (cut to what is left). Flags: bit 0 logs in first, bit 1 logs in as a "1.2.0" client (the older
// layouts), bit 2 sends the setup after the login, bit 3 opens a second logged-in client that
// stays for the whole input (a target for kicks, lists and broadcasts).
// Each packet goes out as one write, and the next is sent only once the server has counted it,
// so every packet is one pass of the read loop. After the input the connections close and the
// server must be back where it started: no connection thread, no listed client.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "FuzzServer.hpp"
#include "control/ControlPackets.hpp"
#include "support/ServerProbe.hpp"

namespace {

constexpr int kPassTimeoutMs = 5000;
constexpr size_t kMaxPackets = 64;

[[noreturn]] void Hang(const char* what) {
  std::fprintf(stderr, "control harness: %s\n", what);
  std::abort();
}

// Logs the connection in; false when the server refused (the input may have changed things).
bool LogIn(qm::fuzz::Connection& c, const char* name, bool oldClient, bool setup) {
  const qm::Packet login = qm::ComposeLogin({name, "", oldClient ? "1.2.0" : "1.2.2"});
  if (!c.Send(login.data(), login.size())) return false;
  if (!c.WaitReceived(qm::kHeaderSize, kPassTimeoutMs)) return false;
  if (qm::ParseHeader(c.Received().data(), c.Received().size()).command != qm::kPktLoginAccepted) return false;
  if (setup) {
    const qm::Packet s = qm::ComposeSetup(0, 0);
    const size_t before = c.Received().size();
    if (!c.Send(s.data(), s.size())) return false;
    c.WaitReceived(before + 12, kPassTimeoutMs);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::TQuillmootServer& server = qm::fuzz::Server();
  qm::test::ServerProbe probe(server);
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  ++data, --size;

  std::unique_ptr<qm::fuzz::Connection> bystander;
  if (flags & 8) {
    bystander = std::make_unique<qm::fuzz::Connection>();
    LogIn(*bystander, "bystander", false, true);
  }
  {
    qm::fuzz::Connection c;
    if (flags & 1) LogIn(c, "fuzz", (flags & 2) != 0, (flags & 4) != 0);
    for (size_t packets = 0; size >= 2 && packets < kMaxPackets && !c.Closed(); ++packets) {
      size_t length = data[0] | (static_cast<size_t>(data[1]) << 8);
      data += 2, size -= 2;
      if (length > size) length = size;
      if (length == 0) continue;
      const uint32_t before = server.Counters().TcpPacketsReceived.load();
      // Every input guesses from 127.0.0.1; a blocked guess would wait for its answer slot and
      // look like a hang. The throttle has its own tests.
      probe.LoginGuesses().Clear();
      probe.AdminGuesses().Clear();
      if (!c.Send(data, length)) break;
      data += length, size -= length;
      // The pass is done when the server has counted it, or when it closed the connection.
      if (!qm::fuzz::WaitFor([&] { return server.Counters().TcpPacketsReceived.load() != before || !c.Drain(); },
                             kPassTimeoutMs))
        Hang("a packet was not handled in time");
      if (bystander) bystander->Drain();
    }
    c.Drain();
  }
  bystander.reset();

  if (!qm::fuzz::WaitFor([&] { return probe.tcpServer->ConnectionCount() == 0; }, kPassTimeoutMs))
    Hang("a connection thread did not end after its peer closed");
  if (!qm::fuzz::WaitFor([&] { return server.Clients().ClientCount() == 0; }, kPassTimeoutMs))
    Hang("a client stayed listed after its connection ended");
  qm::fuzz::RestorePasswords();
  return 0;
}
