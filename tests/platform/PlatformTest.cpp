#include "platform/Platform.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace qm::platform {
namespace {

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
