#pragma once
// The pieces of the web status report that need no thread and no socket: the text helpers, the
// query builder and the test that decides whether the operator's own address is in use.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Every occurrence of `search` in `source` replaced by `replacement` (removed when it is empty).
std::string ReplaceAll(char search, std::string_view replacement, std::string_view source);
// Spaces as "%20", nothing else touched; what PostData applies to a query it is handed.
std::string EncodeSpaces(std::string_view text);
// One query value: "%", "&", "=", "#", "+", space, control bytes, bytes from 0x80 and the bytes no
// address may hold raw go as "%XX", so no name can end a field, add one, start a fragment or put a
// control byte into the request line; ":", "/", "?", "@" and the rest a query may hold stay, so a
// link reads as it is.
std::string EncodeQueryValue(std::string_view value);

// What one report says, gathered by TPingThread::UpdateStats.
struct StatusReport {
  int32_t tcpPort = 0;
  std::string servername;
  std::vector<std::string> clientNames;  // in list order; their number is the client count
  int32_t maxClients = 0;
  std::string serverVersion;
  bool passwordProtected = false;
  bool displayInWebList = false;
  uint32_t uptimeMs = 0;
  std::string link;
};

// serverport=..&servername=..&clients=..&maxclients=..&serverversion=..[&passwordprotected=1]
// [&public=1]&uptime=..&link=..&user=name,name,  (each value encoded; names lose their commas)
std::string BuildStatusQuery(const StatusReport& report);

// True when WebPostURL names an address: not empty and, in upper case, not just "HTTP://" (what
// start-up leaves of an empty value).
bool UserUrlEnabled(const std::string& webPostUrl);

// Test hooks, not settings: shorter HTTP time limits (0 keeps the client's defaults of 10 s to
// connect and 30 s in all) and a loopback stand-in for the public list's address (empty keeps
// kPublicListUrl). Safe to change while a ping thread runs.
void SetWebStatusTimeoutsForTests(uint32_t connectMs, uint32_t totalMs);
void SetPublicListUrlForTests(std::string url);

}  // namespace qm
