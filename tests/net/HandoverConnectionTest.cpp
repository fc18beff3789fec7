// A control connection handed over: its owner rests between packets, what it had queued and not
// written leaves with it (a partly written packet as its rest), and a connection made anew on the
// same socket writes exactly the rest: the peer's byte stream has no gap and no repeat.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/TcpConnection.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

constexpr size_t kPacketSize = 8000;
constexpr size_t kPackets = 30;

// Byte k of the whole stream: any byte lost or sent twice shows.
uint8_t StreamByte(size_t k) { return static_cast<uint8_t>(k % 251); }

TEST(HandoverConnection, UnwrittenOutputAndUnreadInputPassWhole) {
  test::Socket listener = test::BoundSocket(SOCK_STREAM);
  test::Socket peer = test::ConnectTo(test::LocalPort(listener.Get()));
  test::Socket accepted = test::Accept(listener);
  // Small buffers, so most of what is queued cannot be written while the peer does not read.
  int small = 4096;
  ::setsockopt(accepted.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
  ::setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
  auto old = std::make_unique<TcpConnection>(accepted.Release(), "127.0.0.1", test::LocalPort(peer.Get()));

  for (size_t i = 0; i < kPackets; ++i) {
    std::vector<uint8_t> packet(kPacketSize);
    for (size_t j = 0; j < kPacketSize; ++j) packet[j] = StreamByte(i * kPacketSize + j);
    ASSERT_TRUE(old->Queue(std::move(packet)));
  }
  std::thread owner([&] {
    uint8_t b;
    try {
      old->ReadExact(&b, 1);
    } catch (const std::exception&) {
    }
  });
  old->RequestPark();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!old->Parked() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(old->Parked());

  std::vector<std::vector<uint8_t>> unsent = old->UnsentOutput();
  size_t rest = 0;
  for (const auto& p : unsent) rest += p.size();
  ASSERT_GT(rest, 0u) << "everything was written; the test needs a backlog";
  ASSERT_LT(rest, kPackets * kPacketSize);
  EXPECT_EQ(old->UnreadInput().size(), 0u);  // it rests between packets

  // The new image's connection on the same socket, with what the old one left.
  TcpConnection taken(old->GiveUpHandle(), "127.0.0.1", test::LocalPort(peer.Get()));
  taken.Restore({'h', 'i'}, std::move(unsent));
  old->Unpark();
  old->Disconnect();  // its handle is gone: this ends its owner without touching the socket
  owner.join();
  old.reset();

  std::atomic<bool> done{false};
  // Room again, or tiny windows would make the rest crawl past the send time-out.
  int large = 1 << 20;
  ::setsockopt(taken.Handle(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&large), sizeof large);
  ::setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&large), sizeof large);
  std::thread writer([&] {
    while (!done && taken.QueuedBytes() > 0 && taken.IsOpen()) taken.Pause(10);
  });
  const std::string got = peer.Receive(kPackets * kPacketSize);
  done = true;
  writer.join();
  ASSERT_EQ(got.size(), kPackets * kPacketSize) << "rest " << rest << " queued " << taken.QueuedBytes();
  for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(static_cast<uint8_t>(got[k]), StreamByte(k)) << "byte " << k;

  uint8_t unread[2];
  taken.ReadExact(unread, 2);
  EXPECT_EQ(unread[0], 'h');
  EXPECT_EQ(unread[1], 'i');
}

}  // namespace
}  // namespace qm
