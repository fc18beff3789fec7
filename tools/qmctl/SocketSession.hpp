#pragma once
// qmctl through the server's operator socket: one request, one answer, no login and no password.
// The server runs the command itself, so qmctl is seen by no player.
#include <nlohmann/json.hpp>
#include <string>

#include "qmctl/Options.hpp"

namespace qm::ctl {

// Sends the request and returns the answer of {"ok":true}. A refusal ({"ok":false}) is thrown as
// CtlError(kExitRefused) with the server's words; no connection as kExitConnection; no answer
// within --timeout as kExitTimeout.
nlohmann::json AskOperatorSocket(const Options& options, const nlohmann::json& request);

// Texts in the answer are UTF-8; the renderers take the clients' single-byte texts.
std::string TextField(const nlohmann::json& answer, const char* key);

}  // namespace qm::ctl
