#include <gtest/gtest.h>

#include "net/NetAddress.hpp"
#include "platform/Socket.hpp"

namespace qm {
namespace {

TEST(NetAddress, SocketAddressKeepsNetworkOrderAndComesBackWhole) {
  const NetAddress a{0x7F000102, 8766};
  const sockaddr_in s = a.ToSockaddr();
  EXPECT_EQ(s.sin_family, AF_INET);
  const auto* ip = reinterpret_cast<const uint8_t*>(&s.sin_addr.s_addr);
  EXPECT_EQ(ip[0], 127);
  EXPECT_EQ(ip[3], 2);
  const auto* port = reinterpret_cast<const uint8_t*>(&s.sin_port);
  EXPECT_EQ(port[0] * 256 + port[1], 8766);
  EXPECT_EQ(NetAddress::FromSockaddr(s), a);
}

TEST(NetAddress, ResolveTakesDottedTextAsItIs) {
  NetAddress out;
  ASSERT_EQ(NetAddress::Resolve("127.0.0.1", 9000, out), 0);
  EXPECT_EQ(out, (NetAddress{0x7F000001, 9000}));
}

}  // namespace
}  // namespace qm
