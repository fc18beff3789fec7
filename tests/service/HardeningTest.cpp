// The Linux server binary carries the hardening its build asks for: position-independent, full
// RELRO with immediate binding, a non-executable stack, stack protector and fortified calls.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Platform.hpp"
#include "service/ProcessRunner.hpp"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

fs::path ServerBinaryBesideTests() {
  fs::path dir = fs::path(platform::ExecutablePath()).parent_path();
  for (int up = 0; up < 4; ++up, dir = dir.parent_path())
    if (fs::is_regular_file(dir / "qmserver")) return dir / "qmserver";
  return {};
}

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

TEST(Hardening, TheServerBinaryHeadersShowPieRelroNowNoexecStackAndProtectedCalls) {
  const fs::path exe = ServerBinaryBesideTests();
  if (exe.empty()) GTEST_SKIP() << "qmserver is not built";
  const auto readelf = [&](const char* flags) {
    const ProcessResult r = RunProcess({"readelf", flags, "-W", exe.string()}, {}, 20000);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
  };
  if (RunProcess({"readelf", "--version"}, {}, 20000).exitCode != 0) GTEST_SKIP() << "readelf is not installed";

  EXPECT_TRUE(Has(readelf("-h"), "DYN (")) << "not position-independent";
  const std::string segments = readelf("-l");
  EXPECT_TRUE(Has(segments, "GNU_RELRO")) << "no RELRO segment";
  // The stack segment's flags: RW, never RWE.
  const size_t stack = segments.find("GNU_STACK");
  ASSERT_NE(stack, std::string::npos);
  const std::string stackLine = segments.substr(stack, segments.find('\n', stack) - stack);
  EXPECT_FALSE(Has(stackLine, "RWE")) << stackLine;
  const std::string dynamic = readelf("-d");
  EXPECT_TRUE(Has(dynamic, "BIND_NOW") || (Has(dynamic, "FLAGS_1") && Has(dynamic, "NOW"))) << "lazy binding";
  EXPECT_TRUE(Has(dynamic, "PIE")) << "no PIE flag";
  const std::string symbols = readelf("--dyn-syms");
  EXPECT_TRUE(Has(symbols, "__stack_chk_fail")) << "no stack protector";
  EXPECT_TRUE(Has(symbols, "_chk@")) << "no fortified calls";
}

}  // namespace
}  // namespace qm::test
