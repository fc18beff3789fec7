#include <gtest/gtest.h>

#include "service/Switches.hpp"

namespace qm {
namespace {

using Args = std::vector<std::string>;

TEST(Switches, EitherPrefixAnyLetterCase) {
  for (const char* arg : {"-START", "/START", "-start", "/Start", "-sTaRt"})
    EXPECT_TRUE(FindSwitch({arg}, "START")) << arg;
}

TEST(Switches, BareWordsLongerShorterAndOtherPrefixesAreNoSwitch) {
  for (const char* arg : {"START", "start", "--START", "-STARTX", "-STAR", "\\START", "-", "/", "", " -START"})
    EXPECT_FALSE(FindSwitch({arg}, "START")) << '"' << arg << '"';
}

TEST(Switches, FoundAnywhereAmongTheArguments) {
  EXPECT_TRUE(FindSwitch({"-INI=x.ini", "foo", "/silent"}, "SILENT"));
  EXPECT_FALSE(FindSwitch({"-INI=START", "-LOG=/START"}, "START"));
}

TEST(Switches, ParseReadsEverySwitch) {
  const Switches none = ParseSwitches({"START", "install"});
  EXPECT_FALSE(none.start || none.stop || none.install || none.uninstall || none.silent || none.console);
  const Switches all = ParseSwitches({"/stop", "-Start", "/INSTALL", "-uninstall", "-Silent", "/console"});
  EXPECT_TRUE(all.start && all.stop && all.install && all.uninstall && all.silent && all.console);
}

}  // namespace
}  // namespace qm
