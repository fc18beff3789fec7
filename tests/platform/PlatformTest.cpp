#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Ascii.hpp"
#include "platform/Platform.hpp"
#include "platform/Socket.hpp"

namespace qm::platform {
namespace {

// Names compare by ASCII letters only: a byte above 127 (a Latin-1 letter) must match exactly.
TEST(Platform, AsciiFoldingTouchesLettersOnly) {
  EXPECT_EQ(AsciiUpper(std::string_view("Lobby-7\xe9z")), "LOBBY-7\xe9Z");
  EXPECT_EQ(AsciiLower(std::string_view("Quillmoot@[]")), "quillmoot@[]");
  EXPECT_TRUE(EqualsNoCase("hTtP://", "HTTP://"));
  EXPECT_FALSE(EqualsNoCase("caf\xe9", "CAF\xc9"));
  EXPECT_FALSE(EqualsNoCase("@", "`"));  // neighbours of the letter ranges do not fold
  EXPECT_FALSE(EqualsNoCase("ab", "abc"));
  EXPECT_TRUE(StartsWithNoCase("-ini=x.ini", "-INI="));
  EXPECT_FALSE(StartsWithNoCase("-IN", "-INI="));
}

TEST(Platform, TickCounterAdvances) {
  const uint32_t first = SystemTickCount();
  uint32_t now = first;
  // Bounded: give the counter up to about two seconds to move at all.
  for (int i = 0; i < 200 && now == first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = SystemTickCount();
  }
  EXPECT_NE(now, first);
  EXPECT_LT(static_cast<uint32_t>(now - first), 60000u);  // moved forward, not back
}

TEST(Platform, ExecutablePathNamesAnExistingFile) {
  const std::filesystem::path exe = ExecutablePath();
  EXPECT_TRUE(exe.is_absolute());
  EXPECT_TRUE(std::filesystem::is_regular_file(exe));
  EXPECT_NE(exe.string().find(PathSeparator()), std::string::npos);
}

TEST(Platform, SystemNowIsLocalDateTime) {
  const double now = SystemNow();
  EXPECT_GT(now, 36526.0);  // after 1 Jan 2000
  EXPECT_LT(now, 80000.0);  // before 2119
}

}  // namespace
}  // namespace qm::platform

TEST(Platform, KeepAliveTakesTheIdleIntervalAndProbeCount) {
  const qm::platform::SocketHandle s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, qm::platform::kInvalidSocket);
  EXPECT_TRUE(qm::platform::SetKeepAlive(s, 60000, 10000, 6));
  int on = 0, idle = 0, interval = 0, probes = 0;
  socklen_t n = sizeof(int);
  ::getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, &n);
  ::getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &n);
  ::getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &n);
  ::getsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, &n);
  EXPECT_EQ((std::vector<int>{on != 0, idle, interval, probes}), (std::vector<int>{1, 60, 10, 6}));
  qm::platform::CloseSocket(s);
}
