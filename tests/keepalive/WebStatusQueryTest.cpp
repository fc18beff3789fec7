#include <gtest/gtest.h>

#include "keepalive/WebStatus.hpp"

namespace qm {
namespace {

TEST(WebStatusText, ReplaceAllAndEncodeSpacesTouchOnlyTheirCharacter) {
  EXPECT_EQ(ReplaceAll(' ', "%20", " a  b "), "%20a%20%20b%20");
  EXPECT_EQ(ReplaceAll(',', "", ",x,,y,"), "xy");
  EXPECT_EQ(ReplaceAll('x', "yy", ""), "");
  EXPECT_EQ(EncodeSpaces("My Server"), "My%20Server");
  // Nothing else is escaped: the public list reads these bytes as they come.
  EXPECT_EQ(EncodeSpaces("a&b=c?d#e%f+g,h\xC3\xA9"), "a&b=c?d#e%f+g,h\xC3\xA9");
}

StatusReport WorkedExample() {
  StatusReport r;
  r.tcpPort = 8765;
  r.servername = "My Server";
  r.clientNames = {"Big Bob", "x,y"};
  r.maxClients = 16;
  r.serverVersion = "v1.2.2 Win32 Service";
  r.uptimeMs = 1234;
  r.link = "http://www.example.org/";
  return r;
}

TEST(WebStatusQuery, FieldsInOrderWithTheUserPartLast) {
  StatusReport r = WorkedExample();
  EXPECT_EQ(BuildStatusQuery(r),
            "serverport=8765&servername=My%20Server&clients=2&maxclients=16"
            "&serverversion=v1.2.2%20Win32%20Service&uptime=1234&link=http://www.example.org/"
            "&user=Big%20Bob,xy,");

  r.passwordProtected = true;
  r.displayInWebList = true;
  r.clientNames = {"alpha", "beta", "gamma"};
  r.servername = "A&B";
  r.uptimeMs = 86400000;
  EXPECT_EQ(BuildStatusQuery(r),
            "serverport=8765&servername=A%26B&clients=3&maxclients=16&serverversion=v1.2.2%20Win32%20Service"
            "&passwordprotected=1&public=1&uptime=86400000&link=http://www.example.org/"
            "&user=alpha,beta,gamma,");

  r.passwordProtected = false;
  r.clientNames.clear();
  EXPECT_EQ(BuildStatusQuery(r),
            "serverport=8765&servername=A%26B&clients=0&maxclients=16&serverversion=v1.2.2%20Win32%20Service"
            "&public=1&uptime=86400000&link=http://www.example.org/&user=");
}

TEST(WebStatusQuery, AValueEncodesOnlyWhatWouldBreakIt) {
  EXPECT_EQ(EncodeQueryValue(std::string("%&=#+ \x01\x7F\0\x80\"<>\\^`{|}[]", 21)),
            "%25%26%3D%23%2B%20%01%7F%00%80%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D");
  EXPECT_EQ(EncodeQueryValue("http://u@h:80/a?b;c,d!$'()*~"), "http://u@h:80/a?b;c,d!$'()*~");
}

TEST(WebStatusQuery, UserUrlNeedsMoreThanTheScheme) {
  for (const char* off : {"", "http://", "HTTP://", "hTtP://"}) EXPECT_FALSE(UserUrlEnabled(off)) << off;
  for (const char* on : {"http://a", "http://127.0.0.1:80/status?x=1", "HTTP:///", "https://"})
    EXPECT_TRUE(UserUrlEnabled(on)) << on;
}

}  // namespace
}  // namespace qm
