#pragma once
// The operator's local door into the server: a channel only this machine can reach. POSIX: a
// Unix stream socket whose peers are told apart by their credentials. Windows: a named pipe
// whose access list admits SYSTEM and the Administrators only, remote clients refused.
// Both carry plain bytes; the framing above them is the control layer's.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace qm::platform {

// A failure to open, or to connect to, the operator channel; the text says why for an operator.
class OperatorChannelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Something that is not a socket (a file, a folder, a link) holds the channel's name: never
// replaced, whoever put it there.
class OperatorChannelOccupied : public OperatorChannelError {
 public:
  using OperatorChannelError::OperatorChannelError;
};

enum class ChannelIo { kDone, kClosed, kTimedOut, kFailed };

// One connection, either end. Reads and writes wait at most the given time in all.
class OperatorLink {
 public:
  virtual ~OperatorLink() = default;
  // Exactly size bytes, or the reason there were not; done receives how many came.
  virtual ChannelIo ReadFull(void* data, size_t size, int timeoutMs, size_t& done) = 0;
  virtual ChannelIo WriteFull(const void* data, size_t size, int timeoutMs) = 0;
  // Wakes a read or write in progress on another thread; they end as kClosed.
  virtual void Shutdown() = 0;
  // Server side: whether the peer may use the door, who it is ("uid 1000, pid 4242"), and when
  // refused, why ("uid 1000 is neither root, the server's account, nor in group quillmoot").
  virtual bool Admitted() const = 0;
  virtual std::string PeerText() const = 0;
  virtual std::string Refusal() const = 0;
};

class OperatorListener {
 public:
  // Opens the channel at name (a file path on POSIX, a pipe name on Windows). A stale socket
  // file left by a killed server is replaced; anything else there (a live server's socket, a
  // file, a link) is refused with OperatorChannelError and left alone.
  explicit OperatorListener(const std::string& name);
  ~OperatorListener();  // closes, and removes the socket file it made if it is still there
  OperatorListener(const OperatorListener&) = delete;
  OperatorListener& operator=(const OperatorListener&) = delete;

  // The next connection within timeoutMs; null on time-out or once Close was called.
  std::unique_ptr<OperatorLink> Accept(int timeoutMs);
  // Wakes a waiting Accept and makes every later one return null at once.
  void Close();
  const std::string& Name() const { return name_; }

  struct State;

 private:
  std::string name_;
  std::unique_ptr<State> state_;
};

// qmctl's end: connects within timeoutMs, else OperatorChannelError naming the reason.
std::unique_ptr<OperatorLink> ConnectOperatorChannel(const std::string& name, int timeoutMs);

// Where the server opens its channel unless told otherwise: beside its configuration file on
// POSIX, named after it (qmserver.ini: qmserver.sock), so servers beside each other with files of
// their own get sockets of their own; a pipe named after its TCP port on Windows.
std::string DefaultOperatorChannel(const std::string& iniPath, uint16_t tcpPort);
// Where the packages' server keeps it; qmctl tries it when no server address is given. Empty
// where the system has none.
std::string PackagedOperatorChannel();
// True when something is at name that a connection could be tried to.
bool OperatorChannelExists(const std::string& name);

}  // namespace qm::platform
