// The web status report: UpdateStats gathers the server's state into one query string, PostData
// sends it to the public server list and to the operator's own address.
#include "keepalive/WebStatus.hpp"

#include <memory>
#include <mutex>

#include "config/Settings.hpp"
#include "keepalive/TPingThread.hpp"
#include "log/Log.hpp"
#include "net/HttpClient.hpp"
#include "platform/Ascii.hpp"
#include "platform/Clock.hpp"
#include "platform/Error.hpp"

namespace qm {
namespace {

struct TestHooks {
  std::mutex mutex;
  uint32_t connectMs = 0;
  uint32_t totalMs = 0;
  std::string publicListUrl;
};

TestHooks& Hooks() {
  static TestHooks hooks;
  return hooks;
}

void ApplyTimeouts(HttpClient& http) {
  TestHooks& h = Hooks();
  std::lock_guard<std::mutex> g(h.mutex);
  if (h.connectMs != 0 && h.totalMs != 0) {
    http.SetTimeouts(h.connectMs, h.totalMs);
  } else {
    http.SetTimeouts(HttpClient::kDefaultConnectTimeoutMs, HttpClient::kDefaultTotalTimeoutMs);
  }
}

std::string PublicListUrl() {
  TestHooks& h = Hooks();
  std::lock_guard<std::mutex> g(h.mutex);
  return h.publicListUrl.empty() ? std::string(kPublicListUrl) : h.publicListUrl;
}

// One request; its failure is logged under the caller's place name and goes no further, so the other
// address is still tried.
void PostOne(HttpClient& http, const std::string& url, const char* logPlace) {
  try {
    if (http.Connected()) http.Disconnect();
    http.Post(url, std::string());
  } catch (const EHttpAborted&) {
    // The server is stopping; the web server did nothing wrong.
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine(logPlace, e), kLogWarning);
  }
}

}  // namespace

std::string ReplaceAll(char search, std::string_view replacement, std::string_view source) {
  std::string out;
  out.reserve(source.size());
  for (char c : source) {
    if (c == search) {
      out += replacement;
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodeSpaces(std::string_view text) { return ReplaceAll(' ', "%20", text); }

std::string EncodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // What a query may hold as it is, less the three bytes that end or split a value ("&", "=", and
  // "+", which form decoders read as a space): links keep their "://" and paths, names their
  // commas, and "%", "#", spaces, control bytes, bytes from 0x80 and the bytes no address may hold
  // raw ("\"", "<", ">", "\\", "^", "`", "{", "|", "}", "[", "]") go as "%XX".
  static constexpr std::string_view kAsIs = "-._~!$'()*,;:@/?";
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    const bool asIs = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                      kAsIs.find(c) != std::string_view::npos;
    if (asIs) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

std::string BuildStatusQuery(const StatusReport& r) {
  std::string users = "&user=";
  // The list's readers split on "," so a name keeps none; the separators are the only raw ones.
  for (const auto& name : r.clientNames) users += EncodeQueryValue(ReplaceAll(',', "", name)) + ",";

  std::string q = "serverport=" + std::to_string(r.tcpPort);
  q += "&servername=" + EncodeQueryValue(r.servername);
  q += "&clients=" + std::to_string(r.clientNames.size());
  q += "&maxclients=" + std::to_string(r.maxClients);
  q += "&serverversion=" + EncodeQueryValue(r.serverVersion);
  if (r.passwordProtected) q += "&passwordprotected=1";
  if (r.displayInWebList) q += "&public=1";
  q += "&uptime=" + std::to_string(r.uptimeMs);
  q += "&link=" + EncodeQueryValue(r.link);
  q += users;
  return q;
}

bool UserUrlEnabled(const std::string& webPostUrl) {
  if (webPostUrl.empty()) return false;
  return !EqualsNoCase(webPostUrl, "HTTP://");
}

void SetWebStatusTimeoutsForTests(uint32_t connectMs, uint32_t totalMs) {
  TestHooks& h = Hooks();
  std::lock_guard<std::mutex> g(h.mutex);
  h.connectMs = connectMs;
  h.totalMs = totalMs;
}

void SetPublicListUrlForTests(std::string url) {
  TestHooks& h = Hooks();
  std::lock_guard<std::mutex> g(h.mutex);
  h.publicListUrl = std::move(url);
}

void TPingThread::UpdateStats(HttpClient* http) {
  try {
    const ServerSettings& s = s_.settings;
    StatusReport report;
    report.tcpPort = s.TCPPort;
    report.servername = s.Servername.Get();
    {
      // Count and names from one moment; nothing else is done under the lock, the requests
      // least of all.
      LockGuard g(s_.clients.Lock());
      for (const auto& client : s_.clients.Items()) report.clientNames.push_back(client->ClientName());
    }
    report.maxClients = LiveSetting(s.MaxClients);
    report.serverVersion = s_.serverVersion;
    report.passwordProtected = !s.ServerPassword.Get().empty();
    report.displayInWebList = LiveSetting(s.QuillmootSite_DisplayInWebList);
    report.uptimeMs = MillisecondsOf(s_.clock.Now() - s_.startTime);
    report.link = s.WebPostLinkUrl.Get();
    PostData(BuildStatusQuery(report), http);
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TPingThread.UpdateStats", e), kLogException);
  }
}

void TPingThread::PostData(const std::string& query, HttpClient* http) {
  try {
    const ServerSettings& s = s_.settings;
    // The web status thread lends its own client; a report made outside it (tests) gets one of
    // its own, configured the same way.
    std::unique_ptr<HttpClient> local;
    if (!http) {
      local = std::make_unique<HttpClient>();
      if (!s.IP.empty()) local->SetBoundIP(s.IP);
      http = local.get();
    }
    // Bounded, so a web server that accepts and never answers costs one time limit per request
    // instead of stopping the ping passes for good.
    ApplyTimeouts(*http);
    const std::string encoded = EncodeSpaces(query);
    if (LiveSetting(s.QuillmootSite_Active))
      PostOne(*http, PublicListUrl() + encoded, "TPingThread.PostData (Quillmoot)");
    const std::string url = s.WebPostURL.Get();
    if (UserUrlEnabled(url)) PostOne(*http, url + "?" + encoded, "TPingThread.PostData (UserUrl)");
  } catch (const std::exception& e) {
    WriteLog(ExceptionLine("TPingThread.PostData", e), kLogException);
  }
}

}  // namespace qm
