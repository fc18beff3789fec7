#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "Loopback.hpp"
#include "net/TcpConnection.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

// A server-side connection and the peer's raw socket.
struct Pair {
  test::Socket peer;
  std::unique_ptr<TcpConnection> connection;
};

Pair Connect() {
  test::Socket listener = test::BoundSocket(SOCK_STREAM);
  test::Socket peer = test::ConnectTo(test::LocalPort(listener.Get()));
  test::Socket accepted = test::Accept(listener);
  auto connection = std::make_unique<TcpConnection>(accepted.Release(), "127.0.0.1", test::LocalPort(peer.Get()));
  return Pair{std::move(peer), std::move(connection)};
}

std::string Take(TcpConnection& c, size_t n) {
  std::string s(n, '\0');
  c.ReadExact(reinterpret_cast<uint8_t*>(s.data()), n);
  return s;
}

TEST(TcpConnection, BytesBufferedBeforeThePeersCloseAreStillServed) {
  Pair p = Connect();
  p.peer.SendAll("0123456789");
  p.peer.Close();

  EXPECT_EQ(Take(*p.connection, 1), "0");
  EXPECT_NO_THROW(p.connection->CheckClosed());
  EXPECT_EQ(p.connection->InputSize(), 9u);
  // Now the close is seen: no failure with 9 bytes left, but the connection is over.
  EXPECT_NO_THROW(p.connection->WaitForInput(test::kTestWaitMs));
  EXPECT_FALSE(p.connection->IsConnected());
  EXPECT_EQ(Take(*p.connection, 9), "123456789");
  try {
    p.connection->CheckClosed();
    FAIL() << "CheckClosed passed with the peer gone and nothing buffered";
  } catch (const EConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
}

TEST(TcpConnection, ReadsFailWhenThePeerClosesOrResets) {
  Pair closed = Connect();
  EXPECT_NO_THROW(closed.connection->WaitForInput(10));  // a time-out is no failure
  closed.peer.SendAll("ab");
  closed.peer.Close();
  EXPECT_THROW(Take(*closed.connection, 3), EConnClosedGracefully);
  EXPECT_FALSE(closed.connection->IsConnected());

  Pair reset = Connect();
  reset.peer.Abort();
  try {
    reset.connection->WaitForInput(test::kTestWaitMs);
    FAIL() << "a reset connection read without failure";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), platform::kErrConnReset) << e.what();
  }
}

TEST(TcpConnection, DisconnectOrShutdownReceiveFromAnotherThreadEndsAPendingRead) {
  for (bool receiveOnly : {false, true}) {
    Pair p = Connect();
    auto read = std::async(std::launch::async, [&] { return Take(*p.connection, 1); });
    ASSERT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    receiveOnly ? p.connection->ShutdownReceive() : p.connection->Disconnect();
    ASSERT_EQ(read.wait_for(std::chrono::milliseconds(test::kTestWaitMs)), std::future_status::ready);
    EXPECT_THROW(read.get(), QmError);
    EXPECT_FALSE(p.connection->IsConnected());
    if (!receiveOnly) {
      EXPECT_TRUE(p.peer.SeesClose());
    }
  }
}

TEST(TcpConnection, TheInputBufferShrinksBackOnceABurstIsTaken) {
  Pair p = Connect();
  const std::string burst(TcpConnection::kReceiveSize, 'b');
  p.peer.SendAll(burst);
  EXPECT_EQ(Take(*p.connection, burst.size()), burst);
  const size_t afterBurst = p.connection->InputCapacity();
  p.peer.SendAll("next");
  EXPECT_EQ(Take(*p.connection, 4), "next");
  std::printf("[ info ] input capacity %zu after the burst, %zu after the next packet\n", afterBurst,
              p.connection->InputCapacity());
  EXPECT_LE(p.connection->InputCapacity(), TcpConnection::kIdleInputCapacity);
}

TEST(TcpConnection, WriteToAPeerThatNeverReadsTimesOutAndEndsTheOwnersRead) {
  Pair p = Connect();
  p.connection->SetSendTimeout(300);
  auto read = std::async(std::launch::async, [&] { return Take(*p.connection, 1); });

  std::vector<uint8_t> payload(64u << 20, 0x5A);  // far more than both socket buffers hold
  try {
    p.connection->WriteAll(payload.data(), payload.size());
    FAIL() << "64 MiB went to a peer that reads nothing";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Code(), platform::kErrTimedOut);
  }
  ASSERT_EQ(read.wait_for(std::chrono::milliseconds(test::kTestWaitMs)), std::future_status::ready);
  EXPECT_THROW(read.get(), QmError);
  EXPECT_THROW(p.connection->WriteAll(payload.data(), 1), ESocketError);
}

TEST(TcpConnection, WritesFromSeveralThreadsArriveWhole) {
  Pair p = Connect();
  constexpr int kThreads = 4, kMessages = 8;
  // More than the socket buffers hold, so a send blocks midway and an unserialised writer
  // would slip in between.
  constexpr size_t kSize = 1u << 20;
  auto received = std::async(std::launch::async, [&] { return p.peer.Receive(kThreads * kMessages * kSize); });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      std::vector<uint8_t> message(kSize, static_cast<uint8_t>('A' + t));
      for (int i = 0; i < kMessages; ++i) p.connection->WriteAll(message.data(), message.size());
    });
  for (auto& w : writers) w.join();

  const std::string all = received.get();
  ASSERT_EQ(all.size(), kThreads * kMessages * kSize);
  for (size_t at = 0; at < all.size(); at += kSize)
    ASSERT_EQ(all.compare(at, kSize, std::string(kSize, all[at])), 0) << "message torn at byte " << at;
}

TEST(TcpConnection, QueuedOutputGoesOutFromTheOwnersWaitAndAPeerThatFallsBehindIsClosed) {
  // A reading peer gets every queued packet, in order, written by the owner while it waits for
  // input; the packets were queued from another thread, which never touched the socket.
  Pair reader = Connect();
  std::atomic<size_t> written{0};
  reader.connection->SetWrittenHandler([&](size_t n) { written += n; });
  auto owner = std::async(std::launch::async, [&] { return Take(*reader.connection, 1); });
  std::string expected;
  bool allQueued = true;
  for (int i = 0; i < 3000 && allQueued; ++i) {
    const std::string text = "packet " + std::to_string(i) + ";";
    expected += text;
    allQueued = reader.connection->Queue(std::vector<uint8_t>(text.begin(), text.end()));
    // Paced well inside the bound: a burst of over 1,024 packets at once would close even a
    // reader whose thread has not yet been scheduled.
    if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(allQueued);
  EXPECT_EQ(reader.peer.Receive(expected.size()), expected);
  EXPECT_TRUE(test::Eventually([&] { return written.load() == expected.size(); }));
  reader.peer.SendAll("x");
  EXPECT_EQ(owner.get(), "x");
  EXPECT_FALSE(reader.connection->Overrun());

  // A peer that never reads: past the packet or byte bound the queueing thread closes it, and the
  // owner's read ends.
  // 32 KB packets fill the byte bound exactly: all eight fit, the ninth is refused.
  for (const size_t packetSize : {size_t{8}, size_t{40000}, size_t{32768}}) {
    Pair stalled = Connect();
    size_t queued = 0;
    while (stalled.connection->Queue(std::vector<uint8_t>(packetSize, 0x41))) ++queued;
    EXPECT_TRUE(stalled.connection->Overrun());
    EXPECT_EQ(queued, packetSize == 8 ? TcpConnection::kMaxQueuedPackets : TcpConnection::kMaxQueuedBytes / packetSize);
    EXPECT_THROW(Take(*stalled.connection, 1), EConnClosedGracefully);
  }

  // Within the bounds but older than the send time-out: the owner, waiting for input, closes it,
  // soon after the time-out (not at twice it).
  Pair slow = Connect();
  int small = 1;
  ::setsockopt(slow.peer.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
  constexpr uint32_t kTimeoutMs = 1000;
  slow.connection->SetSendTimeout(kTimeoutMs);
  auto waiting = std::async(std::launch::async, [&] { return Take(*slow.connection, 1); });
  // One packet at a time, each only once the last went to the kernel, until the kernel's
  // buffers are full and a packet stays queued past the time-out.
  using Steady = std::chrono::steady_clock;
  Steady::time_point lastQueued;
  for (int i = 0; i < 2000 && slow.connection->IsOpen(); ++i) {
    if (slow.connection->QueuedPackets() == 0) {
      lastQueued = Steady::now();
      slow.connection->Queue(std::vector<uint8_t>(60000, 0x42));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto closedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - lastQueued).count();
  std::printf("[ info ] closed %lld ms after its oldest packet was queued (send time-out %u ms)\n",
              static_cast<long long>(closedAfterMs), kTimeoutMs);
  // Twice the time-out would be the fault; the margins are for a busy machine.
  EXPECT_GE(closedAfterMs, kTimeoutMs - 50);
  EXPECT_LT(closedAfterMs, kTimeoutMs * 19 / 10);
  if (waiting.wait_for(std::chrono::milliseconds(test::kTestWaitMs)) != std::future_status::ready) {
    slow.connection->Disconnect();
    FAIL() << "the owner did not close a connection whose output stayed queued";
  }
  EXPECT_THROW(waiting.get(), EConnClosedGracefully);
  EXPECT_TRUE(slow.connection->Overrun());
}

}  // namespace
}  // namespace qm
