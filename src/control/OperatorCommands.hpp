#pragma once
// What the operator's socket can ask of the server, run against its own state. The operator is
// not a player: no client record, no place in any list or count, no notice about it to anyone.
// What a command changes is announced to the clients as a client administrator's command is.
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "config/Settings.hpp"
#include "control/Bans.hpp"
#include "control/ControlHandlers.hpp"
#include "control/Drain.hpp"

namespace qm {

// What only the server itself can do, lent to the operator's commands.
struct OperatorHooks {
  std::function<void()> stop;  // the stop SIGTERM requests; must not wait for it
  // Reads the configuration file again and applies what can change while running.
  std::function<ReloadOutcome()> reload;
};

class OperatorCommands {
 public:
  OperatorCommands(ControlHandlers& handlers, const ControlServices& services, OperatorHooks hooks = {});

  // The answer to one request ({"ok":false,...} for an unknown command or bad arguments). Writes
  // one log line naming the command and what it did (never a password).
  nlohmann::json Execute(const std::string& command, const nlohmann::json& request);
  // The commands known, in the table's order.
  static std::vector<std::string> Names();
  // The drain's stop watch, which a handover carries.
  DrainWatch& DrainStop() { return *drain_; }

  // The table's entries: the answer, and the log line's text after "Operator: ".
  using Run = nlohmann::json (OperatorCommands::*)(const nlohmann::json& request, std::string& logText);

 private:
  nlohmann::json Who(const nlohmann::json& request, std::string& logText);
  nlohmann::json Stats(const nlohmann::json& request, std::string& logText);
  nlohmann::json Create(const nlohmann::json& request, std::string& logText);
  nlohmann::json Delete(const nlohmann::json& request, std::string& logText);
  nlohmann::json Kick(const nlohmann::json& request, std::string& logText);
  nlohmann::json Save(const nlohmann::json& request, std::string& logText);
  nlohmann::json SetServerPassword(const nlohmann::json& request, std::string& logText);
  nlohmann::json SetAdminPassword(const nlohmann::json& request, std::string& logText);
  nlohmann::json SetPassword(bool admin, const nlohmann::json& request, std::string& logText);
  nlohmann::json BanCommand(const nlohmann::json& request, std::string& logText);
  nlohmann::json Unban(const nlohmann::json& request, std::string& logText);
  nlohmann::json ListBans(const nlohmann::json& request, std::string& logText);
  nlohmann::json Mute(const nlohmann::json& request, std::string& logText);
  nlohmann::json Unmute(const nlohmann::json& request, std::string& logText);
  nlohmann::json SetMuted(bool muted, const nlohmann::json& request, std::string& logText);
  nlohmann::json Drain(const nlohmann::json& request, std::string& logText);
  nlohmann::json Reload(const nlohmann::json& request, std::string& logText);
  // The "target" argument taken apart, "player:ID" resolved into that player's address.
  bool Target(const nlohmann::json& request, BanTarget& target, std::string& error);

  struct Entry {
    const char* name;
    Run run;
  };
  static const Entry kTable[];

  ControlHandlers& handlers_;
  ControlServices services_;
  OperatorHooks hooks_;
  std::unique_ptr<DrainWatch> drain_;
};

}  // namespace qm
