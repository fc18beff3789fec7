// qmctl as an operator meets it: help, usage errors, a server that is down or silent, who.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "QmctlHarness.hpp"
#include "client/QmClient.hpp"
#include "platform/Version.hpp"
#include "support/TestServer.hpp"

namespace qm::test {
namespace {

constexpr int kExitUsage = 2, kExitRefused = 3, kExitConnection = 4, kExitTimeout = 5;

std::vector<std::string> At(const TestServer& t, std::vector<std::string> rest) {
  std::vector<std::string> a{"--port", std::to_string(t.TcpPort())};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

TEST(QmctlBasic, HelpNamesEverySubcommandAndVariable) {
  const auto r = RunQmctl({"--help"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* word : {"who", "stats", "admin create", "admin delete", "admin save", "admin kick",
                           "set-server-password", "set-admin-password", "ping", "watch", "--json", "--timeout",
                           "QM_SERVER_PASSWORD", "QM_ADMIN_PASSWORD", "QM_NEW_PASSWORD"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(QmctlBasic, BareVersionPrintsQmctlsOwnAndWithAValueStillSetsTheClientText) {
  // Port 1 would refuse a connection: printing the version must not try one.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, std::vector<std::string>{"--port", "1", "--version", "--json", "who"}}) {
    const auto r = RunQmctl(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string("qmctl ") + kProgramVersion + "\n");
  }
  // The value forms (old and new name) reach the option check instead, so a text too long for
  // the wire is refused under the name it was given.
  for (const char* name : {"--version", "--client-version"}) {
    const auto r = RunQmctl({"--port", "1", name, std::string(31, 'v'), "who"});
    EXPECT_EQ(r.exitCode, kExitUsage) << name;
    EXPECT_NE(r.err.find(std::string(name) + " is longer"), std::string::npos) << r.err;
  }
  EXPECT_NE(RunQmctl({"--help"}).out.find("--client-version"), std::string::npos);
}

TEST(QmctlBasic, BadCommandLinesAreUsageErrorsBeforeAnyConnection) {
  // Port 1 would refuse a connection (exit 4); each of these must fail earlier, with 2.
  const std::vector<std::vector<std::string>> cases{
      {},
      {"--port", "1", "frobnicate"},
      {"--port", "1", "ping", "--count", "101"},
      {"--port", "1", "ping", "--count", "0"},
      {"--port", "1", "ping", "--interval", "9"},
      {"--port", "1", "who", "--count", "3"},
      {"--port", "1", "stats", "0"},
      {"--port", "1", "stats", "256"},
      {"--port", "1", "stats", "1", "2"},
      {"--port", "x", "who"},
      {"--port", "70000", "who"},
      {"--port", "1", "--timeout", "0", "who"},
      {"--port", "1", "--name", std::string(31, 'n'), "who"},
      {"--port", "1", "--frob", "who"},
      {"--port", "1", "admin"},
      {"--port", "1", "admin", "reboot"},
      {"--port", "1", "admin", "create", std::string(31, 'c')},
      {"--port", "1", "admin", "delete", "abc"},
      {"--port", "1", "admin", "kick"},
      {"--port", "1", "watch", "--seconds", "0"},
  };
  for (const auto& args : cases) {
    const auto r = RunQmctl(args, {{"QM_ADMIN_PASSWORD", "x"}});
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.exitCode, kExitUsage) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find("qmctl: "), std::string::npos) << shown;
  }
}

TEST(QmctlBasic, ServerThatIsDownIsAConnectionFailure) {
  const uint16_t port = FreePortPair();  // nothing listens there
  const auto r = RunQmctl({"--port", std::to_string(port), "who"});
  EXPECT_EQ(r.exitCode, kExitConnection) << r.err;
  EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());

  const auto j = RunQmctl({"--port", std::to_string(port), "--json", "who"});
  EXPECT_EQ(j.exitCode, kExitConnection);
  const auto parsed = ParseJson(j.out);
  ASSERT_TRUE(parsed) << j.out;
  EXPECT_EQ((*parsed)["error"].Str(), "connection");
  EXPECT_EQ((*parsed)["exit"].Num(), kExitConnection);
}

TEST(QmctlBasic, ServerThatNeverAnswersTimesOutWithoutHanging) {
  // Listening is enough: the kernel completes the handshake, and nothing is ever read or written.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 16), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  for (const std::vector<std::string>& cmd :
       {std::vector<std::string>{"who"}, {"stats"}, {"watch", "--seconds", "30"}, {"ping"}}) {
    std::vector<std::string> args{"--port", port, "--timeout", "300"};
    args.insert(args.end(), cmd.begin(), cmd.end());
    const auto r = RunQmctl(args, {}, 15000);
    EXPECT_FALSE(r.killed) << cmd[0];
    EXPECT_EQ(r.exitCode, kExitTimeout) << cmd[0] << ": " << r.err;
    EXPECT_NE(r.err.find("login answer"), std::string::npos) << r.err;
  }
  close(s);
}

class QmctlWho : public ::testing::Test {
 protected:
  TestServer t{{{"General", "Servername", "Test Hall"},
                {"Channels", "0", "Lobby"},
                {"Channels", "1", "Music Room"},
                {"Channels", "2", "Quiet"}}};
};

TEST_F(QmctlWho, TableShowsEachChannelWithItsPlayers) {
  ASSERT_TRUE(t.Started());
  client::ControlClient alice;
  alice.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(alice.Login("alice", "", "1.2.2"), 1);

  const auto r = RunQmctl(At(t, {"who"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("server Test Hall at 127.0.0.1:" + std::to_string(t.TcpPort()) + ": 3 channels, 2 players"),
            std::string::npos)
      << r.out;
  // Columns line up: every row starts its PLAYER column where the heading does.
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(r.out.substr(at, nl - at));
  size_t heading = 0;
  while (heading < lines.size() && lines[heading].rfind("CH ", 0) != 0) ++heading;
  ASSERT_LT(heading, lines.size()) << r.out;
  const size_t playerColumn = lines[heading].find("PLAYER");
  EXPECT_EQ(lines[heading + 1].substr(playerColumn, 5), "alice") << r.out;
  EXPECT_NE(lines[heading + 1].find("Lobby"), std::string::npos);
  EXPECT_NE(lines[heading + 2].find("qmctl (this qmctl)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Music Room"), std::string::npos);
  EXPECT_NE(r.out.find("Quiet"), std::string::npos);
}

TEST_F(QmctlWho, JsonParsesBackWithAwkwardNamesEscaped) {
  ASSERT_TRUE(t.Started());
  const std::string awkward = "q\"u\\o\tt\x01\xE9";  // quote, backslash, tab, control byte, Latin-1 e-acute
  client::ControlClient player;
  player.Connect("127.0.0.1", t.TcpPort());
  ASSERT_EQ(player.Login(awkward, "", "1.2.2"), 1);

  const auto r = RunQmctl(At(t, {"--json", "--name", "ops", "who"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_EQ((*j)["server"].Str(), "Test Hall");
  ASSERT_EQ((*j)["channels"].Size(), 3u);
  const Json& lobby = (*j)["channels"][0];
  EXPECT_EQ(lobby["id"].Num(), 1);
  EXPECT_EQ(lobby["name"].Str(), "Lobby");
  ASSERT_EQ(lobby["players"].Size(), 2u);
  EXPECT_EQ(lobby["players"][0]["name"].Str(), awkward);
  EXPECT_EQ(lobby["players"][0]["id"].Num(), 1);
  EXPECT_FALSE(lobby["players"][0]["admin"].Bool());
  EXPECT_FALSE(lobby["players"][0]["self"].Bool());
  EXPECT_EQ(lobby["players"][1]["name"].Str(), "ops");
  EXPECT_TRUE(lobby["players"][1]["self"].Bool());
  EXPECT_EQ((*j)["self"].Num(), 2);
  EXPECT_EQ((*j)["channels"][1]["players"].Size(), 0u);
  EXPECT_EQ((*j)["elsewhere"].Size(), 0u);

  // The same name in the table cannot drive the operator's terminal.
  const auto human = RunQmctl(At(t, {"who"}));
  EXPECT_EQ(human.out.find('\x01'), std::string::npos);
  EXPECT_NE(human.out.find("q\"u\\o\\x09t\\x01\xC3\xA9"), std::string::npos) << human.out;
}

TEST_F(QmctlWho, OldLayoutsCarryNoAdministratorMark) {
  ASSERT_TRUE(t.Started());
  const auto r = RunQmctl(At(t, {"--json", "--client-version", "1.2.0", "who"}));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto j = ParseJson(r.out);
  ASSERT_TRUE(j) << r.out;
  EXPECT_TRUE((*j)["channels"][0]["players"][0]["admin"].IsNull());
  EXPECT_TRUE((*j)["channels"][0]["players"][0]["self"].Bool());
}

TEST(QmctlServerPassword, TakenFromTheEnvironmentAndRefusedInWords) {
  TestServer t({{"Passwords", "ServerPassword", "door"}});
  ASSERT_TRUE(t.Started());
  const auto none = RunQmctl(At(t, {"who"}));  // no variable, stdin not a terminal: no prompt
  EXPECT_EQ(none.exitCode, kExitRefused);
  EXPECT_NE(none.err.find("wrong server password (reply code -2)"), std::string::npos) << none.err;
  const auto wrong = RunQmctl(At(t, {"who"}), {{"QM_SERVER_PASSWORD", "window"}});
  EXPECT_EQ(wrong.exitCode, kExitRefused);
  const auto right = RunQmctl(At(t, {"who"}), {{"QM_SERVER_PASSWORD", "door"}});
  EXPECT_EQ(right.exitCode, 0) << right.err;
  // The password never shows in what qmctl prints.
  EXPECT_EQ(right.out.find("door"), std::string::npos);
}

}  // namespace
}  // namespace qm::test
