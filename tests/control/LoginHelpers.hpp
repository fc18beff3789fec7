#pragma once
// Shared by the login and read-loop integration tests: clients of the in-process server.
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "support/TestServer.hpp"

// A namespace of their own: other suites of this program keep helpers of the same names.
namespace qm::test::login {

using Conn = std::unique_ptr<client::ControlClient>;

// from: the local loopback address to connect from; tests that open many connections at once
// spread them over several, since one host may only have a few waiting for their login.
inline Conn Connected(TestServer& t, const std::string& from = "") {
  auto c = std::make_unique<client::ControlClient>();
  if (!from.empty()) c->SetLocalAddress(from);
  c->Connect("127.0.0.1", t.TcpPort());
  return c;
}

// A client that has logged in (the login reply received); nullptr, with a failure, otherwise.
inline Conn LoggedIn(TestServer& t, const std::string& name, const std::string& version = "2.0",
                     const std::string& password = "") {
  Conn c = Connected(t);
  const int16_t answer = c->Login(name, password, version, kWaitMs);
  EXPECT_EQ(answer, kPktLoginAccepted) << name;
  return answer == kPktLoginAccepted ? std::move(c) : nullptr;
}

inline int16_t CommandOf(const Packet& p) { return ParseHeader(p.data(), p.size()).command; }

// The client's wire player, learnt from the list packet a setup brings.
inline int WirePlayerOf(client::ControlClient& c) {
  c.Send(ComposeSetup(0, 0));
  auto lists = c.WaitFor({kPktListsOld, kPktListsNew}, kWaitMs);
  ParsedLists parsed;
  if (!lists || !ParseLists(lists->data(), lists->size(), parsed)) return -1;
  return parsed.ownWirePlayer;
}

}  // namespace qm::test::login
