#pragma once
// Waiting in tests: for a state to be reached, for the next packet of a kind, for silence. The
// bounds are generous (a shared, busy machine); a passing test never waits for them.
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <thread>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"

namespace qm::test {

// How long a test waits for something that should come.
inline constexpr int kWaitMs = 5000;
// How long a test watches to be sure that nothing more arrives.
inline constexpr int kQuietMs = 150;

// Waits up to timeoutMs for the condition, polling; true once it holds.
template <class F>
bool Eventually(F condition, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// The next packet of one of the types, skipping any other; nothing after timeoutMs.
inline std::optional<Packet> NextOf(client::ControlClient& c, std::initializer_list<int16_t> types,
                                    int timeoutMs = kWaitMs) {
  return c.WaitFor(types, timeoutMs);
}
inline std::optional<Packet> NextOf(client::ControlClient& c, int16_t type, int timeoutMs = kWaitMs) {
  return c.WaitFor({type}, timeoutMs);
}

// True when nothing at all arrives within kQuietMs.
inline bool Quiet(client::ControlClient& c) { return !c.Receive(kQuietMs).has_value(); }

}  // namespace qm::test
