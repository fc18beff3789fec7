#include "qmctl/Session.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "control/WireFormat.hpp"
#include "platform/Clock.hpp"
#include "platform/Console.hpp"
#include "platform/Error.hpp"
#include "qmctl/Output.hpp"

namespace qm::ctl {
namespace {

std::string Ask(const std::string& prompt) {
  std::string line;
  if (!platform::ReadLineWithoutEcho(prompt, line)) throw CtlError(kExitUsage, "no password read from the terminal");
  return line;
}

}  // namespace

std::string ObtainSecret(const char* variable, const std::string& prompt, bool confirm) {
  std::string secret;
  if (const char* value = std::getenv(variable)) {
    secret = value;
  } else {
    if (!platform::StdinIsTerminal())
      throw CtlError(kExitUsage, std::string(variable) + " is not set and standard input is not a terminal to ask on");
    secret = Ask(prompt + ": ");
    if (confirm && Ask(prompt + " (again): ") != secret) throw CtlError(kExitUsage, "the two entries differ");
  }
  if (secret.size() > kNameCapacity) throw CtlError(kExitUsage, "a password is longer than 30 characters");
  return secret;
}

Session::~Session() = default;

void Session::Connect() {
  try {
    control_.Connect(options_.host, options_.port, options_.timeoutMs);
  } catch (const std::exception& e) {
    throw CtlError(kExitConnection, e.what());
  }
}

void Session::ThrowNoAnswer(const std::string& waitingFor) {
  if (control_.WaitClosed(0))
    throw CtlError(kExitConnection, "the server closed the connection while qmctl waited for " + waitingFor);
  throw CtlError(kExitTimeout, "no " + waitingFor + " within " + std::to_string(options_.timeoutMs) + " ms");
}

int16_t Session::LoginOnce(const std::string& password) {
  Connect();
  std::optional<Packet> reply;
  try {
    control_.Send(ComposeLogin(LoginRequest{options_.name, password, options_.version}));
    reply = control_.WaitFor({kPktLoginAccepted, kReplyServerFull, kReplyWrongPassword}, options_.timeoutMs);
  } catch (const std::exception& e) {
    throw CtlError(kExitConnection, std::string("connection lost during login: ") + e.what());
  }
  if (!reply) return 0;
  ParseLoginAccepted(reply->data(), reply->size(), sessionKey_, serverName_);
  return ParseHeader(reply->data(), reply->size()).command;
}

void Session::Open() {
  const char* envPassword = std::getenv("QM_SERVER_PASSWORD");
  int16_t answer = LoginOnce(envPassword ? envPassword : "");
  if (answer == kReplyWrongPassword && !envPassword && platform::StdinIsTerminal()) {
    // The server has a password we were not given; ask once. A refused login closes the
    // connection, so the second try is a new one.
    const std::string typed = ObtainSecret("QM_SERVER_PASSWORD", "server password", false);
    answer = LoginOnce(typed);
  }
  if (answer == 0) ThrowNoAnswer("login answer");
  if (answer != kPktLoginAccepted) throw CtlError(kExitRefused, "login refused: " + ReplyCodeText(answer), answer);
  open_ = true;
  // The login reply is the first packet the server writes us, so Login left nothing behind.
  RefreshLists();
}

const ParsedLists& Session::RefreshLists() {
  Send(ComposeSetup(0, 0));
  const Packet p = Expect({kPktListsOld, kPktListsNew, kReplySetupRefused}, "channel and player lists");
  if (!ParseLists(p.data(), p.size(), lists_)) throw CtlError(kExitFailure, "the server sent a malformed list packet");
  return lists_;
}

void Session::BecomeAdmin(const std::string& password) {
  Send(ComposeStringCommand(kCmdAdminLogin, password));
  // Newer clients learn of their promotion from the broadcast about themselves; 1.2.0 clients
  // get reply 100 instead.
  const uint8_t me = OwnPlayer();
  Expect({kPktPlayerIsAdmin, kReplyAdminLoginOk, kReplyWrongAdminPassword}, "answer to the administrator login",
         [me](const Packet& p) {
           Notification n;
           return !ParseNotification(p.data(), p.size(), n) || n.player == me;
         });
}

void Session::Send(const Packet& packet) {
  try {
    control_.Send(packet);
  } catch (const std::exception& e) {
    throw CtlError(kExitConnection, std::string("connection lost: ") + e.what());
  }
}

Packet Session::Expect(std::initializer_list<int16_t> commands, const std::string& what,
                       const std::function<bool(const Packet&)>& accept) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.timeoutMs);
  for (;;) {
    std::optional<Packet> p;
    try {
      p = control_.WaitFor(commands, MillisecondsLeft(deadline));
    } catch (const std::exception& e) {
      throw CtlError(kExitConnection, std::string("connection lost: ") + e.what());
    }
    if (!p) ThrowNoAnswer(what);
    const int16_t command = ParseHeader(p->data(), p->size()).command;
    if (command < 0) throw CtlError(kExitRefused, "refused: " + ReplyCodeText(command), command);
    if (!accept || accept(*p)) return *p;
  }
}

std::optional<Packet> Session::Next(int timeoutMs) {
  std::optional<Packet> p;
  try {
    p = control_.Receive(timeoutMs);
  } catch (const std::exception& e) {
    throw CtlError(kExitConnection, std::string("connection lost: ") + e.what());
  }
  if (!p && control_.WaitClosed(0)) throw CtlError(kExitConnection, "the server closed the connection");
  return p;
}

void Session::Leave() {
  if (!open_ || !control_.IsOpen()) return;
  open_ = false;
  try {
    control_.Send(ComposeCommand(kCmdClientLeave));
    control_.WaitClosed(options_.timeoutMs < 1000 ? options_.timeoutMs : 1000);
  } catch (const std::exception&) {
    // The work is done; a connection that breaks while we say goodbye changes nothing.
  }
  control_.Close();
}

}  // namespace qm::ctl
