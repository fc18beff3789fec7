#pragma once
// One accepted control connection. All reads and all writes of queued output happen on the
// connection's own thread (the owner): other threads only Queue bytes, which wakes the owner, or
// shut the connection down. Queueing never touches the socket, so a peer that stops reading can
// hold up nobody but its own thread; it fills its bounded queue and is closed. The socket handle
// is released only by the destructor, so no other thread can ever use a handle number the
// system has already given to someone else.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Socket.hpp"
#include "platform/Waker.hpp"

namespace qm {

class TcpConnection {
 public:
  static constexpr size_t kReceiveSize = 32768;
  // What an idle connection keeps of its input buffer; control packets are far smaller.
  static constexpr size_t kIdleInputCapacity = 512;
  // Times a short input wait is resumed after a wake-up that brought no input.
  static constexpr int kWakeRetries = 3;
  // The longest a queued packet may wait for the peer to take it (and the bound of WriteAll):
  // a peer slower than that is dropped, not waited for.
  static constexpr uint32_t kDefaultSendTimeoutMs = 5000;
  // The most output a peer may leave unread. Far above what a reading client ever has queued (a
  // full list packet is under 17 KB), far below what would let 255 stalled peers hurt the host.
  static constexpr size_t kMaxQueuedBytes = 256 * 1024;
  static constexpr size_t kMaxQueuedPackets = 1024;

  // Told the size of each queued packet once every byte of it went to the socket (owner thread).
  using WrittenHandler = std::function<void(size_t bytes)>;

  TcpConnection(platform::SocketHandle socket, std::string peerAddress, uint16_t peerPort);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Reads exactly n bytes, waiting without a time limit; queued output goes out meanwhile. Throws
  // EConnClosedGracefully when the peer closed with too few bytes left (or after ShutdownReceive,
  // once the queued output went out), ESocketError on a socket error.
  void ReadExact(uint8_t* destination, size_t n);
  // Fails with "Connection Closed Gracefully." when the peer's close was seen (or the socket is
  // gone) and the input buffer is empty; closes the socket in that case.
  void CheckClosed();
  // Waits at most timeoutMs for the socket to become readable; if it does, one receive of up to
  // kReceiveSize bytes into the input buffer. A zero-byte receive marks the peer's close and
  // fails as CheckClosed does. A time-out is not a failure.
  void WaitForInput(int timeoutMs);
  // Owner thread: waits up to timeoutMs without taking a packet, writing queued output
  // meanwhile; ends early on a wake-up. Input that comes goes to the input buffer while that holds
  // less than one receive's worth; past it the peer's bytes stay with the system (its window
  // fills and it slows). False once the connection ended, was kicked or its peer closed it.
  bool Pause(int timeoutMs);
  // CheckClosed without failing, then whether the socket is still open.
  bool IsConnected();
  size_t InputSize() const;
  // What the input buffer holds allocated, taken or not (figures and tests).
  size_t InputCapacity() const { return input_.capacity(); }
  // False once Disconnect or a close has happened; safe from any thread.
  bool IsOpen() const { return open_; }
  // Closes the connection at once, queued output dropped (shutdown of both sides; the handle
  // itself goes with the object). Safe from any thread; wakes the owner.
  void Disconnect();
  // Owner thread: writes what is still queued (a leave or kick notice), waiting no longer than the
  // oldest packet's send time-out, then disconnects.
  void Close();
  // Shuts down the receiving side only: the owning thread's pending or next read ends at once.
  // The connection still counts as connected until that read, so the owner's pass takes its own
  // close path rather than the endpoint dropping the connection between passes.
  void ShutdownReceive();
  // Sends every byte now, waiting at most the send time-out. For writes before anything is
  // queued (refusals) and tests; safe from several threads (serialised). Throws ESocketError
  // (kErrTimedOut when the time ran out; the connection is then shut down so its own thread
  // takes the close path).
  void WriteAll(const uint8_t* data, size_t size);
  void SetSendTimeout(uint32_t milliseconds) { sendTimeoutMs_ = milliseconds; }

  // From any thread; never touches the socket. Appends a packet for the owner to write and wakes
  // it. False when the connection is closed, or when the packet would pass kMaxQueuedBytes or
  // kMaxQueuedPackets: the connection is then closed (Overrun) so the owner takes its close path.
  bool Queue(std::vector<uint8_t> packet);
  // Owner thread: writes what the socket takes now without waiting. Closes the connection when
  // the oldest queued packet has waited past the send time-out. ReadExact and WaitForInput call it.
  void PumpOutput();
  void SetWrittenHandler(WrittenHandler handler);
  size_t QueuedBytes() const { return queuedBytes_; }
  size_t QueuedPackets() const { return queuedPackets_; }
  // The connection was closed because its peer fell behind (queue bound or send time-out).
  bool Overrun() const { return overrun_; }

  const std::string& PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }

  // --- handover: the owner comes to rest between packets so another image can take the socket ---
  // From any thread: the owner, at its next wait for a packet with nothing unread, writes what the
  // socket takes now and then rests (holding no lock) until Unpark. Its socket stays open.
  void RequestPark();
  void Unpark();
  // The owner rests as asked.
  bool Parked() const { return parked_; }
  // While the owner rests: copies of what it received and has not taken, and of the packets queued
  // and not yet written (the first one's rest when it was partly written).
  std::vector<uint8_t> UnreadInput() const;
  std::vector<std::vector<uint8_t>> UnsentOutput();
  // Before the owner's thread starts (a connection taken over): what the earlier image left.
  void Restore(std::vector<uint8_t> unread, std::vector<std::vector<uint8_t>> unsent);
  platform::SocketHandle Handle() const { return socket_; }
  // While the owner rests: the handle passes to another object (a take-over within one process,
  // as tests make), which closes it; this one no longer touches it.
  platform::SocketHandle GiveUpHandle() { return std::exchange(socket_, platform::kInvalidSocket); }

 private:
  void ParkHere();     // owner thread: rests while a park is asked for
  void ReceiveOnce();  // one recv into input_; marks closed on 0
  // One wait of the owner: for input (wantRead), for room to write queued output, for a wake-up,
  // or for the oldest packet's deadline, whichever is first and within timeoutMs (negative: no
  // limit). Receives once when readable. Returns WaitSocket's result.
  int WaitOnce(bool wantRead, int timeoutMs);
  // Milliseconds until the oldest queued packet passes the send time-out; -1 with nothing queued.
  int OutputDeadlineMs();
  void Abandon();  // closed for falling behind

  struct Outgoing {
    std::vector<uint8_t> bytes;
    uint32_t queuedTick;
  };

  platform::SocketHandle socket_;
  std::string peerAddress_;
  uint16_t peerPort_;
  std::vector<uint8_t> input_;  // received, not yet taken (owner thread only)
  size_t inputStart_ = 0;
  std::atomic<bool> open_{true};  // false once Disconnect or a close has happened
  std::atomic<bool> peerClosed_{false};
  std::atomic<bool> receiveShut_{false};  // ShutdownReceive was called (from any thread)
  std::atomic<uint32_t> sendTimeoutMs_{kDefaultSendTimeoutMs};
  platform::SocketWaker waker_;

  std::mutex outboxMutex_;                                 // guards outbox_ only; never held across a socket call
  std::deque<Outgoing> outbox_;                            // queued by any thread, taken over by the owner
  std::atomic<size_t> queuedBytes_{0}, queuedPackets_{0};  // outbox_ and writing_ together
  std::atomic<bool> overrun_{false};
  std::mutex writeMutex_;         // serialises socket writes: the owner's PumpOutput, WriteAll
  std::deque<Outgoing> writing_;  // being written (writeMutex_)
  size_t writtenOfFront_ = 0;     // bytes of writing_.front() already sent (writeMutex_)
  WrittenHandler written_;        // writeMutex_

  std::mutex parkMutex_;
  std::condition_variable parkChanged_;
  std::atomic<bool> parkRequested_{false};
  std::atomic<bool> parked_{false};
};

// What the endpoint hands its execute handler: the connection and one slot for the application's
// object (the logged-in client). Alive until the connection's thread ends.
struct TcpContext {
  std::shared_ptr<TcpConnection> connection;
  std::shared_ptr<void> slot;  // guarded by slotMutex
  std::mutex slotMutex;

  template <class T>
  std::shared_ptr<T> Slot() {
    std::lock_guard<std::mutex> g(slotMutex);
    return std::static_pointer_cast<T>(slot);
  }
  void SetSlot(std::shared_ptr<void> value) {
    std::lock_guard<std::mutex> g(slotMutex);
    slot = std::move(value);
  }
  bool HasSlot() {
    std::lock_guard<std::mutex> g(slotMutex);
    return slot != nullptr;
  }
};

}  // namespace qm
