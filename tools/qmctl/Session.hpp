#pragma once
// One logged-in control connection of qmctl: connect, log in, ask for the lists (which tell
// our own player id), optionally become administrator, then wait for answers with a time-out.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

#include "client/QmClient.hpp"
#include "control/ControlPackets.hpp"
#include "qmctl/Options.hpp"

namespace qm::ctl {

// A password from the environment variable, else asked on the terminal without echo; with
// confirm, asked twice. CtlError(kExitUsage) when neither is possible or it is too long.
std::string ObtainSecret(const char* variable, const std::string& prompt, bool confirm);

class Session {
 public:
  explicit Session(const Options& options) : options_(options) {}
  ~Session();

  // Connects, logs in (with QM_SERVER_PASSWORD, or asking once when refused on a terminal) and
  // reads the lists. Throws CtlError.
  void Open();
  // Logs in as administrator; CtlError(kExitRefused) on -101.
  void BecomeAdmin(const std::string& password);
  // Sends ClientLeave and waits briefly for the server to close, so nothing we sent is lost.
  void Leave();

  // The next packet whose command is listed and that accept() takes (others of those commands
  // are dropped, other commands kept for later). A listed negative command is a refusal and is
  // thrown as CtlError(kExitRefused). Time-out: CtlError(kExitTimeout); close: kExitConnection.
  // what names the awaited answer in the time-out message.
  Packet Expect(std::initializer_list<int16_t> commands, const std::string& what,
                const std::function<bool(const Packet&)>& accept = {});
  // Sends one packet; CtlError(kExitConnection) when the connection is broken.
  void Send(const Packet& packet);
  // The next packet of any kind within timeoutMs; nullopt on time-out. Throws on close.
  std::optional<Packet> Next(int timeoutMs);
  // Asks for fresh lists (ClientSetup) and waits for them.
  const ParsedLists& RefreshLists();

  const ParsedLists& Lists() const { return lists_; }
  uint8_t OwnPlayer() const { return static_cast<uint8_t>(lists_.ownWirePlayer); }
  const std::string& ServerName() const { return serverName_; }
  uint16_t SessionKey() const { return sessionKey_; }
  bool OldLayouts() const { return options_.version == "1.2.0"; }
  client::ControlClient& Control() { return control_; }

 private:
  void Connect();
  int16_t LoginOnce(const std::string& password);
  [[noreturn]] void ThrowNoAnswer(const std::string& waitingFor);

  const Options& options_;
  client::ControlClient control_;
  ParsedLists lists_;
  std::string serverName_;
  uint16_t sessionKey_ = 0;
  bool open_ = false;
};

}  // namespace qm::ctl
