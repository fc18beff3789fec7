#pragma once
// The UDP endpoint: one socket, one listener thread that reads datagrams in batches and hands each
// batch whole to its sink (or, without one, calls the read handler per datagram and then the batch
// handler), and sends from the same socket (so clients see replies come from the server's UDP port).
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "net/Binding.hpp"
#include "net/NetAddress.hpp"
#include "platform/Socket.hpp"
#include "platform/Waker.hpp"

namespace qm {

// Takes the listener's batches whole, on the listener thread. The datagrams' buffers are the
// endpoint's and are reused by the next read: the sink may change them in place, and copies what it
// keeps. A datagram marked truncated was longer than kBufferSize and must be passed over.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  virtual void UDPServerBatchRead(platform::ReceivedDatagram* batch, int count) = 0;
};

class UdpEndpoint : public BoundListener {
 public:
  static constexpr size_t kBufferSize = 8192;
  // The bound of the listener's wait where a stop cannot wake it (elsewhere it waits without one).
  static constexpr int kListenWaitMs = 1000;
  // Datagrams read by one receive call at most.
  static constexpr int kReadBatch = 64;
  // Called on the listener thread; data is the endpoint's reused buffer (copy what you keep).
  using ReadHandler = std::function<void(const uint8_t* data, size_t size, const NetAddress& from)>;
  // Called on the listener thread after the read handler has seen every datagram of a batch.
  using BatchHandler = std::function<void()>;

  // One copy of a send batch; error is filled in by SendDatagrams.
  using Outgoing = platform::OutgoingDatagram;

  UdpEndpoint();
  ~UdpEndpoint();  // deactivates

  void SetReadHandler(ReadHandler handler);
  void SetBatchHandler(BatchHandler handler);
  // When set, the sink takes every batch and the handlers are not called. It must outlive the
  // listener (set it before Activate).
  void SetSink(DatagramSink* sink) { sink_ = sink; }

  // Binds and starts the listener thread; throws ESocketError when the address cannot be bound.
  void Activate();
  // Stops the listener thread (within kListenWaitMs), closes the socket, joins the thread.
  void Deactivate();
  bool Active() const { return active_; }
  uint16_t BoundPort() const { return boundPort_; }

  // --- handover ---
  // Stops the listener thread between batches; the socket stays open and the system keeps what
  // arrives meanwhile in its queue. Resume starts the thread again.
  void Suspend();
  void Resume();
  platform::SocketHandle Handle() const { return socket_; }
  // Activate with a socket an earlier image bound (its options came with it).
  void Adopt(platform::SocketHandle socket);

  // Sends one datagram from the endpoint's socket. A dotted IPv4 text is used directly, any other
  // text is resolved as a host name. Throws EPackageSizeTooBig ("Package Size Too Big."),
  // ENotAllBytesSent ("Not all bytes sent.") or ESocketError. Safe from several threads while the
  // endpoint is active; the senders must have stopped before Deactivate closes the socket.
  void SendDatagram(const std::string& address, int port, const uint8_t* data, size_t size);
  // The same to an address already in numeric form: no parsing, no allocation.
  void SendDatagram(const NetAddress& to, const uint8_t* data, size_t size);
  // Sends a batch in order with as few system calls as the system allows. Each datagram's error
  // says how it went (0: sent); a failure does not stop the rest. Returns how many were sent.
  // Same threading rules as SendDatagram.
  int SendDatagrams(Outgoing* batch, int count);
  // What SendDatagram would have thrown for a batch datagram's error, as "<ClassName>: <message>".
  static std::string DescribeSendError(int error);

 private:
  void ListenLoop();

  ReadHandler handler_;
  BatchHandler batchHandler_;
  DatagramSink* sink_ = nullptr;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  uint16_t boundPort_ = 0;
  std::atomic<bool> active_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  platform::SocketWaker waker_;  // ends the listener's wait for a Suspend, which must not shut the socket
};

}  // namespace qm
