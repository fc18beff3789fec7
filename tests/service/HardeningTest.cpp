// The Linux server binary carries the hardening its build asks for: position-independent, full
// RELRO with immediate binding, a non-executable stack, stack protector and fortified calls.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/Platform.hpp"
#include "service/ProcessRunner.hpp"

namespace qm::test {
namespace {

std::string ReadElf(const char* what, const std::filesystem::path& exe) {
  const ProcessResult r = RunProcess({"readelf", what, "-W", exe.string()}, {}, 20000);
  return r.exitCode == 0 ? r.output : std::string();
}

TEST(Hardening, TheServerBinaryHeadersShowPieRelroNowNoexecStackAndProtectedCalls) {
  std::filesystem::path exe =
      std::filesystem::path(platform::ExecutablePath()).parent_path().parent_path() / "qmserver";
#ifndef QM_HARDENED_BUILD
  GTEST_SKIP() << "this build is not hardened (sanitizers, fuzzing, Debug or QM_HARDEN=OFF)";
#endif
  if (!std::filesystem::is_regular_file(exe)) GTEST_SKIP() << "qmserver is not built";
  if (ReadElf("-h", exe).empty()) GTEST_SKIP() << "readelf is not installed";

  EXPECT_NE(ReadElf("-h", exe).find("DYN ("), std::string::npos) << "not position-independent";
  const std::string segments = ReadElf("-l", exe);
  EXPECT_NE(segments.find("GNU_RELRO"), std::string::npos);
  const size_t stack = segments.find("GNU_STACK");
  ASSERT_NE(stack, std::string::npos);
  EXPECT_EQ(segments.substr(stack, segments.find('\n', stack) - stack).find("RWE"), std::string::npos)
      << "executable stack";
  const std::string dynamic = ReadElf("-d", exe);
  EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << "lazy binding";
  EXPECT_NE(dynamic.find("PIE"), std::string::npos);
  const std::string symbols = ReadElf("--dyn-syms", exe);
  EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos) << "no stack protector";
  EXPECT_NE(symbols.find("_chk@"), std::string::npos) << "no fortified calls";
}

}  // namespace
}  // namespace qm::test
