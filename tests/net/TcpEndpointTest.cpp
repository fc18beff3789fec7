#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/TcpEndpoint.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// Lives in a connection's slot; counts the connection threads that ended and released it.
struct SlotProbe {
  explicit SlotProbe(std::atomic<int>& released) : released(released) {}
  ~SlotProbe() { ++released; }
  std::atomic<int>& released;
};

// A server pass in miniature: the first byte without a time limit, whatever follows within
// 1 ms, then an echo of it all. A failed read closes the connection.
void EchoPass(TcpContext& context) {
  TcpConnection& c = *context.connection;
  std::string packet(1, '\0');
  try {
    c.ReadExact(reinterpret_cast<uint8_t*>(packet.data()), 1);
    c.CheckClosed();
    c.WaitForInput(1);
  } catch (const QmError&) {
    c.Disconnect();
    return;
  }
  packet.resize(1 + c.InputSize());
  c.ReadExact(reinterpret_cast<uint8_t*>(packet.data()) + 1, packet.size() - 1);
  c.WriteAll(reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
}

class TcpEndpointTest : public ::testing::Test {
 protected:
  void Start(TcpEndpoint::ExecuteHandler handler) {
    endpoint.AddBinding("127.0.0.1", 0);
    endpoint.SetExecuteHandler([this, handler](TcpContext& context) {
      if (!context.Slot<SlotProbe>()) context.SetSlot(std::make_shared<SlotProbe>(released));
      ++passes;
      handler(context);
    });
    endpoint.Activate();
    ASSERT_NE(endpoint.BoundPort(), 0);
  }
  std::atomic<int> released{0};
  std::atomic<int> passes{0};
  TcpEndpoint endpoint;  // declared last: deactivated before the counters go
};

TEST_F(TcpEndpointTest, ServesEachConnectionOnItsOwnThreadUntilThePeerCloses) {
  Start(EchoPass);
  test::Socket a = test::ConnectTo(endpoint.BoundPort());
  test::Socket b = test::ConnectTo(endpoint.BoundPort());
  a.SendAll("hello");
  b.SendAll("world");
  EXPECT_EQ(b.Receive(5), "world");
  EXPECT_EQ(a.Receive(5), "hello");
  EXPECT_EQ(endpoint.ConnectionCount(), 2u);

  // The pass that finds the peer gone is the thread's last.
  a.Close();
  ASSERT_TRUE(test::Eventually([&] { return released == 1 && endpoint.ConnectionCount() == 1; }));
  b.SendAll("again");
  EXPECT_EQ(b.Receive(5), "again");
}

TEST_F(TcpEndpointTest, EscapingFailuresEndTheConnectionOnlyWhenItWasAbortedOrReset) {
  // 'q' throws a failure of the handler's own, 'r' a reset; any other byte is answered 'y'.
  Start([](TcpContext& context) {
    uint8_t byte;
    context.connection->ReadExact(&byte, 1);
    if (byte == 'q') throw QmError("handler trouble");
    if (byte == 'r') throw ESocketError(platform::kErrConnReset, "reset");
    context.connection->WriteAll(reinterpret_cast<const uint8_t*>("y"), 1);
  });
  test::Socket peer = test::ConnectTo(endpoint.BoundPort());
  peer.SendAll("qx");
  EXPECT_EQ(peer.Receive(1), "y");
  peer.SendAll("r");
  EXPECT_TRUE(peer.SeesClose());
  EXPECT_TRUE(test::Eventually([&] { return released == 1; }));
}

TEST_F(TcpEndpointTest, DeactivateShutsDownOpenConnectionsAndJoinsTheirThreads) {
  Start(EchoPass);
  std::vector<test::Socket> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(test::ConnectTo(endpoint.BoundPort()));
  ASSERT_TRUE(test::Eventually([&] { return passes == 3; }));

  endpoint.Deactivate();
  EXPECT_EQ(endpoint.ConnectionCount(), 0u);
  EXPECT_EQ(released.load(), 3);
  for (auto& p : peers) EXPECT_TRUE(p.SeesClose());
}

TEST_F(TcpEndpointTest, APortInUseMakesActivateFailButTimeWaitDoesNot) {
  Start([](TcpContext& context) {
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    uint8_t byte;
    context.connection->ReadExact(&byte, 1);
    context.connection->Disconnect();
  });
  const uint16_t port = endpoint.BoundPort();
  TcpEndpoint second;
  second.AddBinding("127.0.0.1", port);
  try {
    second.Activate();
    FAIL() << "two listeners bound port " << port;
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), platform::kErrAddrInUse);
  }

  test::Socket peer = test::ConnectTo(port);
  peer.SendAll("x");
  EXPECT_TRUE(peer.SeesClose());
  endpoint.Deactivate();
  EXPECT_NO_THROW(second.Activate());  // a restarted server gets its port back at once
}

}  // namespace
}  // namespace qm
