// The operator channel's file on POSIX: made owner-and-group only, a killed server's remnant
// replaced, everything else at the name refused and left exactly as it was.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/OperatorChannel.hpp"
#include "support/TestServer.hpp"

namespace qm::platform {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A socket bound at path and closed without removing its file, as a killed server leaves it.
void LeaveStaleSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  close(fd);
}

TEST(OperatorChannelTest, MadeForOwnerAndGroupReplacesAStaleOneAndRefusesAnythingElse) {
  TempDir dir;
  const std::string path = (dir.Path() / "qmserver.sock").string();
  LeaveStaleSocket(path);
  {
    OperatorListener listener(path);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    std::thread peer([&] {
      auto link = ConnectOperatorChannel(path, 3000);
      EXPECT_EQ(link->WriteFull("ping", 4, 3000), ChannelIo::kDone);
    });
    auto accepted = listener.Accept(5000);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->Admitted());  // our own account
    char got[4];
    size_t n = 0;
    EXPECT_EQ(accepted->ReadFull(got, 4, 3000, n), ChannelIo::kDone);
    EXPECT_EQ(std::string(got, 4), "ping");
    peer.join();
    // Nothing more comes: the read ends at its time.
    EXPECT_EQ(accepted->ReadFull(got, 4, 50, n), ChannelIo::kClosed);
    // A live server's socket is not taken over.
    EXPECT_THROW(OperatorListener second(path), OperatorChannelError);
  }
  // Gone with the listener.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
  EXPECT_THROW(ConnectOperatorChannel(path, 1000), OperatorChannelError);

  // A regular file and a link are never replaced, nor what the link points to.
  WriteFile(path, "keep me");
  EXPECT_THROW(OperatorListener refused(path), OperatorChannelOccupied);
  EXPECT_EQ(ReadFile(path), "keep me");
  const std::string target = (dir.Path() / "target").string();
  std::filesystem::rename(path, target);
  std::filesystem::create_symlink(target, path);
  EXPECT_THROW(OperatorListener refused(path), OperatorChannelOccupied);
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(ReadFile(target), "keep me");
  // A link to a stale socket is a link all the same.
  std::filesystem::remove(path);
  const std::string stale = (dir.Path() / "stale.sock").string();
  LeaveStaleSocket(stale);
  std::filesystem::create_symlink(stale, path);
  EXPECT_THROW(OperatorListener refused(path), OperatorChannelOccupied);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(stale)));
}

}  // namespace
}  // namespace qm::platform
