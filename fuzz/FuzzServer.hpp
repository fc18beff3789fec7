#pragma once
// One server for the whole fuzzing process: started once in a fresh temporary folder on a free
// loopback port pair, never stopped (the process ends with it), its log sent nowhere so a long
// run does not fill the disk.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Socket.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm::fuzz {

// The administrator password the harnesses configure (also in the dictionary).
inline constexpr const char* kAdminPassword = "qmadmin";

// Starts the server on first call (extra "Section", "Key", "value" triples go into its ini file)
// and returns it; aborts when it cannot start, since no input could then be tried.
TQuillmootServer& Server(const std::vector<std::vector<std::string>>& extraKeys = {});
uint16_t TcpPort();
uint16_t UdpPort();

// Puts back what an administrator command may have changed for every later input: the
// passwords. Channels and saved files may drift; nothing else depends on them.
void RestorePasswords();

// Waits up to timeoutMs for the condition, yielding between looks.
template <class F>
bool WaitFor(F condition, int timeoutMs);

// A blocking loopback TCP connection to the server with the few operations the harnesses need.
class Connection {
 public:
  Connection();  // connects to TcpPort(); aborts on failure
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool Send(const uint8_t* data, size_t size);  // false once the server has closed
  // Reads what is there (without waiting); false when the server has closed.
  bool Drain();
  // Waits up to timeoutMs for at least `count` bytes in total, read since the connection opened.
  bool WaitReceived(size_t count, int timeoutMs);
  const std::vector<uint8_t>& Received() const { return received_; }
  bool Closed() const { return closed_; }

 private:
  platform::SocketHandle s_ = platform::kInvalidSocket;
  std::vector<uint8_t> received_;
  bool closed_ = false;
};

}  // namespace qm::fuzz

#include <chrono>
#include <thread>
template <class F>
bool qm::fuzz::WaitFor(F condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int spin = 0; !condition(); ++spin) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (spin < 200)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}
