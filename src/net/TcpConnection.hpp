#pragma once
// One accepted control connection. All reads happen on the connection's own thread; WriteAll,
// Shutdown and Disconnect may also be called by other threads (broadcasts, kicks). The socket
// handle is released only by the destructor, so no other thread can ever use a handle number
// the system has already given to someone else.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Socket.hpp"

namespace qm {

class TcpConnection {
 public:
  static constexpr size_t kReceiveSize = 32768;
  // Default bound on one blocking write: a peer that stops reading cannot hold a writer longer.
  static constexpr uint32_t kDefaultSendTimeoutMs = 5000;

  TcpConnection(platform::SocketHandle socket, std::string peerAddress, uint16_t peerPort);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Reads exactly n bytes, waiting without a time limit. Throws EConnClosedGracefully when the
  // peer closed with too few bytes left, ESocketError on a socket error.
  void ReadExact(uint8_t* destination, size_t n);
  // Fails with "Connection Closed Gracefully." when the peer's close was seen (or the socket is
  // gone) and the input buffer is empty; closes the socket in that case.
  void CheckClosed();
  // Waits at most timeoutMs for the socket to become readable; if it does, one receive of up to
  // kReceiveSize bytes into the input buffer. A zero-byte receive marks the peer's close and
  // fails as CheckClosed does. A time-out is not a failure.
  void WaitForInput(int timeoutMs);
  // CheckClosed without failing, then whether the socket is still open.
  bool IsConnected();
  size_t InputSize() const;
  // False once Disconnect or a close has happened; safe from any thread.
  bool IsOpen() const { return open_; }
  // Closes the connection (shutdown of both sides; the handle itself goes with the object).
  void Disconnect();
  // Shuts down the receiving side only: the owning thread's pending or next read ends at once.
  // The connection still counts as connected until that read, so the owner's pass takes its own
  // close path rather than the endpoint dropping the connection between passes.
  void ShutdownReceive();
  // Sends every byte, looping over partial sends. Safe from several threads (serialised).
  // Throws ESocketError (kErrTimedOut when the send time-out expired; the connection is then
  // shut down so its own thread takes the close path).
  void WriteAll(const uint8_t* data, size_t size);
  void SetSendTimeout(uint32_t milliseconds);

  const std::string& PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }

 private:
  void ReceiveOnce();  // one recv into input_; marks closed on 0

  platform::SocketHandle socket_;
  std::string peerAddress_;
  uint16_t peerPort_;
  std::vector<uint8_t> input_;       // received, not yet taken (owner thread only)
  size_t inputStart_ = 0;
  std::atomic<bool> open_{true};      // false once Disconnect or a close has happened
  std::atomic<bool> peerClosed_{false};
  std::atomic<bool> receiveShut_{false};  // ShutdownReceive was called (from any thread)
  std::mutex writeMutex_;
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
