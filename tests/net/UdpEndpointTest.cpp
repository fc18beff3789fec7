#include <atomic>
#include <condition_variable>
#include <deque>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/UdpEndpoint.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

class UdpEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint.AddBinding("127.0.0.1", 0);
    endpoint.SetReadHandler([this](const uint8_t* data, size_t size, const NetAddress& from) {
      std::string bytes(reinterpret_cast<const char*>(data), size);
      if (bytes == "boom") throw QmError("bad datagram");
      std::lock_guard<std::mutex> g(mutex);
      inbox.emplace_back(std::move(bytes), from);
      arrived.notify_all();
    });
    endpoint.Activate();
    ASSERT_NE(endpoint.BoundPort(), 0);
  }
  void SendToEndpoint(const std::string& bytes) {
    sockaddr_in to = test::Loopback(endpoint.BoundPort());
    ASSERT_EQ(::sendto(client.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next datagram the handler was given ("" when none came in time).
  std::pair<std::string, NetAddress> Next() {
    std::unique_lock<std::mutex> g(mutex);
    if (!arrived.wait_for(g, std::chrono::milliseconds(test::kTestWaitMs), [this] { return !inbox.empty(); }))
      return {};
    auto d = inbox.front();
    inbox.pop_front();
    return d;
  }
  // The next datagram the client got from the endpoint, checking where it came from.
  std::string ClientReceive() {
    if (platform::WaitReadable(client.Get(), test::kTestWaitMs) <= 0) return "<nothing>";
    char buffer[256];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    auto n = ::recvfrom(client.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    EXPECT_EQ(ntohs(from.sin_port), endpoint.BoundPort());
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }

  test::Socket client = test::BoundSocket(SOCK_DGRAM);
  const uint16_t clientPort = test::LocalPort(client.Get());
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::pair<std::string, NetAddress>> inbox;
  UdpEndpoint endpoint;  // declared last: stopped before the inbox goes
};

TEST_F(UdpEndpointTest, DeliversWholeDatagramsUpToTheBufferSizeAndDropsLongerOnes) {
  const std::string justFits(UdpEndpoint::kBufferSize, 'b');
  SendToEndpoint(std::string(9000, 'a'));
  SendToEndpoint(std::string(UdpEndpoint::kBufferSize + 1, 'c'));
  SendToEndpoint("boom");  // the handler's failure is swallowed; reception goes on
  SendToEndpoint(justFits);
  SendToEndpoint("end");

  auto [bytes, from] = Next();
  EXPECT_EQ(bytes, justFits);
  EXPECT_EQ(from.AddressText(), "127.0.0.1");
  EXPECT_EQ(from.port, clientPort);
  EXPECT_EQ(Next().first, "end");
}

TEST_F(UdpEndpointTest, SendsFromTheEndpointsPortAndReportsFailures) {
  const auto* data = reinterpret_cast<const uint8_t*>("pong");
  endpoint.SendDatagram("127.0.0.1", clientPort, data, 4);
  EXPECT_EQ(ClientReceive(), "pong");
  endpoint.SendDatagram("localhost", clientPort, data, 3);
  EXPECT_EQ(ClientReceive(), "pon");
  endpoint.SendDatagram(NetAddress{0x7F000001, clientPort}, data, 2);
  EXPECT_EQ(ClientReceive(), "po");

  EXPECT_THROW(endpoint.SendDatagram("", clientPort, data, 1), ESocketError);
  EXPECT_THROW(endpoint.SendDatagram("127.0.0.1", 0, data, 1), ESocketError);
  EXPECT_THROW(endpoint.SendDatagram(NetAddress{}, data, 1), ESocketError);
  const std::vector<uint8_t> huge(70000);
  try {
    endpoint.SendDatagram("127.0.0.1", clientPort, huge.data(), huge.size());
    FAIL() << "a 70000-byte datagram went out";
  } catch (const EPackageSizeTooBig& e) {
    EXPECT_STREQ(e.what(), "Package Size Too Big.");
  }
  endpoint.SendDatagram("127.0.0.1", clientPort, data, 1);
  EXPECT_EQ(ClientReceive(), "p");
}

TEST_F(UdpEndpointTest, SeveralThreadsCanSendAtOnce) {
  constexpr int kThreads = 4, kEach = 25;  // few and small: the client's buffer holds them all
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      const uint8_t tag = static_cast<uint8_t>('0' + t);
      for (int i = 0; i < kEach; ++i) endpoint.SendDatagram(NetAddress{0x7F000001, clientPort}, &tag, 1);
    });
  for (auto& s : senders) s.join();
  std::string tags;
  for (int i = 0; i < kThreads * kEach; ++i) tags += ClientReceive();
  std::sort(tags.begin(), tags.end());
  EXPECT_EQ(tags,
            std::string(kEach, '0') + std::string(kEach, '1') + std::string(kEach, '2') + std::string(kEach, '3'));
}

TEST_F(UdpEndpointTest, BatchSendsGoInOrderAndOneFailureSparesTheRest) {
  const uint8_t one = '1', two = '2', three = '3';
  UdpEndpoint::Outgoing batch[3];
  batch[0] = {&one, 1, 0x7F000001, clientPort, -1};
  batch[1] = {&two, 1, 0x7F000001, 0, -1};  // port 0: refused by the system
  batch[2] = {&three, 1, 0x7F000001, clientPort, -1};
  EXPECT_EQ(endpoint.SendDatagrams(batch, 3), 2);
  EXPECT_EQ(batch[0].error, 0);
  EXPECT_NE(batch[1].error, 0);
  EXPECT_EQ(batch[2].error, 0);
  EXPECT_EQ(ClientReceive(), "1");
  EXPECT_EQ(ClientReceive(), "3");
  EXPECT_EQ(UdpEndpoint::DescribeSendError(platform::kErrMsgSize), "EPackageSizeTooBig: Package Size Too Big.");
  EXPECT_EQ(UdpEndpoint::DescribeSendError(batch[1].error).rfind("ESocketError: Socket Error # ", 0), 0u);
}

TEST_F(UdpEndpointTest, TheBatchHandlerFollowsTheDatagramsOfEachRead) {
  std::atomic<int> batches{0}, seenBeforeLastBatch{0};
  endpoint.Deactivate();
  endpoint.SetBatchHandler([&] {
    std::lock_guard<std::mutex> g(mutex);
    seenBeforeLastBatch.store(static_cast<int>(inbox.size()));
    ++batches;
  });
  endpoint.Activate();
  for (int i = 0; i < 20; ++i) SendToEndpoint("d" + std::to_string(i));
  ASSERT_TRUE(test::Eventually([&] { return seenBeforeLastBatch.load() == 20; }));
  EXPECT_GE(batches.load(), 1);
  EXPECT_LE(batches.load(), 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Next().first, "d" + std::to_string(i));
}

TEST_F(UdpEndpointTest, APortInUseMakesActivateFail) {
  UdpEndpoint second;
  second.AddBinding("127.0.0.1", endpoint.BoundPort());
  try {
    second.Activate();
    FAIL() << "two endpoints bound one UDP port";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), platform::kErrAddrInUse);
  }
  endpoint.Deactivate();
  EXPECT_NO_THROW(second.Activate());
}

TEST(NetAddress, OnlyFourDottedDecimalPartsAreAnAddress) {
  NetAddress a;
  ASSERT_TRUE(NetAddress::FromDotted("255.0.10.1", 8766, a));
  EXPECT_EQ(a, (NetAddress{0xFF000A01, 8766}));
  EXPECT_EQ(a.AddressText(), "255.0.10.1");
  EXPECT_EQ(NetAddress{}.AddressText(), "");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "0001.1.1.1", "a.b.c.d"})
    EXPECT_FALSE(NetAddress::FromDotted(bad, 1, a)) << bad;
}

}  // namespace
}  // namespace qm
