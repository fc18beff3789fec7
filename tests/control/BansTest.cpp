// The file of bans as a crash, an editor or a disk may leave it: read safely, never fatal.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "control/Bans.hpp"
#include "platform/Clock.hpp"
#include "support/TestServer.hpp"

namespace qm {
namespace {

void Put(const std::filesystem::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

TEST(Bans, AFileCutShortOrWithGarbageKeepsItsGoodLinesAndTheNextWriteIsWhole) {
  test::TempDir dir;
  const auto path = dir.Path() / "qmserver.bans";
  TestClock clock(EncodeDateTime(2026, 12, 8, 12, 0, 0, 0), 1000);
  BanList bans(clock);
  Put(path, std::string("# comment\n"
                        "203.0.113.0/24\tnever\tcrowd\n"
                        "garbage without tabs\n"
                        "999.1.1.1\tnever\tx\n"
                        "10.0.0.0/4\tnever\tprefix too short\n"
                        "198.51.100.7\t2026-12-08 11:00:00\texpired an hour ago\n"
                        "198.51.100.8\t2026-13-01 00:00:00\tno such month\n"
                        "name:mallory\t2026-12-08 13:00:00\tfor an hour\n"
                        "\x01\xff\xfe\t\t\n"
                        "192.0.2.1\tnever\tcut sh"));
  bans.Load(path.string());
  const auto in = bans.Snapshot();
  ASSERT_EQ(in.size(), 2u);
  EXPECT_EQ(in[0].target, "203.0.113.0/24");
  EXPECT_EQ(in[0].reason, "crowd");
  EXPECT_EQ(in[1].target, "name:mallory");
  EXPECT_EQ(BanList::FormatUntil(in[1].until), "2026-12-08 13:00:00");

  Ban hit;
  EXPECT_TRUE(bans.Match(0xCB007142, "anyone", hit));   // 203.0.113.66
  EXPECT_FALSE(bans.Match(0xCB007242, "anyone", hit));  // 203.0.114.66
  EXPECT_TRUE(bans.Match(0x7F000001, "mallory", hit));
  EXPECT_FALSE(bans.Match(0xC0000201, "x", hit));  // the cut-short line is not trusted

  // A change writes the whole list, good lines only, and it reads back the same.
  BanTarget t;
  std::string error;
  ASSERT_TRUE(ParseBanTarget("192.0.2.1", t, error)) << error;
  bans.Add(t, 0, "tab\tand\nbreak");
  BanList again(clock);
  again.Load(path.string());
  const auto back = again.Snapshot();
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2].reason, "tab and break");
  // An hour later the timed one is gone by itself.
  clock.SetNow(clock.Now() + 1.5 / 24);
  EXPECT_EQ(again.Count(), 2u);
  EXPECT_FALSE(again.Match(0x7F000001, "mallory", hit));

  // An empty file, and a missing one, are no bans.
  Put(path, "");
  again.Load(path.string());
  EXPECT_EQ(again.Count(), 0u);
  std::filesystem::remove(path);
  again.Load(path.string());
  EXPECT_EQ(again.Count(), 0u);
}

TEST(Bans, TargetsAreParsedStrictly) {
  BanTarget t;
  std::string error;
  ASSERT_TRUE(ParseBanTarget("203.0.113.77/24", t, error));
  EXPECT_EQ(t.Text(), "203.0.113.0/24");
  ASSERT_TRUE(ParseBanTarget("203.0.113.77/32", t, error));
  EXPECT_EQ(t.Text(), "203.0.113.77");
  for (const char* bad : {"", "name:", "1.2.3", "1.2.3.4/", "1.2.3.4/33", "1.2.3.4/7", "1.2.3.4/x", "0.0.0.0", "host"})
    EXPECT_FALSE(ParseBanTarget(bad, t, error)) << bad;
}

}  // namespace
}  // namespace qm
