#pragma once
// Failed passwords counted per source address. Ten failures within a minute block the address
// for five minutes: its attempts are then refused without looking at the password, and each
// refusal is held back so that one address gets at most one answer a second however many
// connections it opens. Other addresses are never affected. Time comes from the clock interface.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qm {

class GuessThrottle {
 public:
  static constexpr uint32_t kMaxFailures = 10;
  static constexpr uint32_t kWindowMs = 60 * 1000;
  static constexpr uint32_t kBlockMs = 300 * 1000;
  // While blocked, refusals to one address go out at most this often.
  static constexpr uint32_t kBlockedAnswerGapMs = 1000;
  // Bounds the table against a flood from ever-new addresses; past it, new addresses are not
  // tracked until old entries expire.
  static constexpr size_t kMaxAddresses = 4096;

  // When the address is blocked: true, and answerTick receives the tick from which its refusal
  // may be written (each blocked attempt takes the next free slot).
  bool Blocked(const std::string& address, uint32_t& answerTick);
  // Counts one failed password; true when this failure starts a block (log it, once).
  bool Failed(const std::string& address);
  // "<what> from <address>: too many failed passwords (10 in 60 s); blocked for 300 s"
  static std::string BlockLine(const std::string& what, const std::string& address);

  void Clear();

 private:
  struct Entry {
    uint32_t windowStart = 0;
    uint32_t failures = 0;
    bool blocked = false;
    uint32_t blockStart = 0;
    uint32_t nextAnswer = 0;
  };
  // Drops a block that has run its time, so counting starts afresh (mutex_ held).
  static void Expire(Entry& e, uint32_t now);
  void PruneLocked(uint32_t now);

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qm

namespace qm {
class TcpConnection;
// Holds a blocked refusal back until its slot on the connection's own thread (no lock held);
// false when the connection closed meanwhile (shutdown, the peer gave up).
bool WaitForAnswerSlot(uint32_t answerTick, const TcpConnection& connection);
}  // namespace qm
