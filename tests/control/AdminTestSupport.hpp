#pragma once
// Shared by the administration and statistics tests: clients logged in to a TestServer, and
// expected packets written out byte by byte (independently of the composing code under test).
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "support/TestServer.hpp"

namespace qm::test {

inline constexpr const char* kNewVersion = "1.3.0";
inline constexpr const char* kOldVersion = "1.2.0";

using Bytes = std::vector<uint8_t>;

// Little-endian byte builder for expected packets.
class Expect {
 public:
  Expect(uint16_t key, uint16_t length, int16_t command) {
    U16(0xB0BA).U16(key).U16(length).U16(static_cast<uint16_t>(command));
  }
  Expect& U8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Expect& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
  Expect& U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16)); }
  Expect& F32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    return U32(v);
  }
  // A short string; the filler bytes are zeros.
  Expect& Str(const std::string& s, size_t capacity) {
    const size_t n = std::min(s.size(), capacity);
    U8(static_cast<uint8_t>(n));
    for (size_t i = 0; i < capacity; ++i) U8(i < n ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  const Bytes& Get() const { return b_; }
  operator Bytes() const { return b_; }

 private:
  Bytes b_;
};

inline Bytes Reply(uint16_t key, int16_t code) { return Expect(key, 8, code); }

struct Player {
  std::unique_ptr<client::ControlClient> c = std::make_unique<client::ControlClient>();
  uint8_t wire = 0;  // PlayerId + 1
  uint16_t key = 0;
  client::ControlClient* operator->() const { return c.get(); }
  operator client::ControlClient&() const { return *c; }  // for NextOf and Quiet
};

// Logs in; wire is the player id as the lists report it.
inline Player Join(TestServer& t, const std::string& name, const std::string& version = kNewVersion,
                   const std::string& password = "") {
  Player p;
  p->Connect("127.0.0.1", t.TcpPort());
  EXPECT_EQ(p->Login(name, password, version), kPktLoginAccepted) << name;
  p.key = p->SessionKey();
  p->Send(ComposeSetup(0, 0));
  ParsedLists lists;
  if (auto l = p->WaitFor({kPktListsOld, kPktListsNew}, kWaitMs)) {
    EXPECT_TRUE(ParseLists(l->data(), l->size(), lists));
    p.wire = static_cast<uint8_t>(lists.ownWirePlayer);
  } else {
    ADD_FAILURE() << "no lists for " << name;
  }
  return p;
}

// Forgets whatever has arrived so far (notifications about earlier logins and the like).
inline void Clear(Player& p) { p->DrainRaw(30); }

inline Bytes Next(Player& p, int timeoutMs = kWaitMs) {
  auto packet = p->Receive(timeoutMs);
  return packet ? *packet : Bytes{};
}

inline bool LogHas(const TestServer& t, const std::string& text) { return CountLines(t, text) > 0; }

// Logs in as administrator with the configured password and takes away the confirmation.
inline void BecomeAdmin(Player& p, const std::string& password) {
  p->Send(ComposeStringCommand(kCmdAdminLogin, password));
  auto ack = p->WaitFor({kPktPlayerIsAdmin, kReplyAdminLoginOk}, kWaitMs);
  ASSERT_TRUE(ack.has_value());
  Clear(p);
}

}  // namespace qm::test
