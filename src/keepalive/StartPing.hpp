#pragma once
// The keep-alive rule for one client, asked by every ping pass: is the client quiet long enough
// to need a ping, has its pending ping gone unanswered, has it used up its tries.
namespace qm {

class IClock;
class TQuillmootServer;
class TServerClient;
struct TSettings;

// Sends the client a ping when one is due; returns true when the client is to be given up.
// Quiet time and the wait for a pong are elapsed ticks (wrap-safe), never times of day, so
// midnight changes nothing.
bool StartPing(TServerClient& client, TQuillmootServer& server, const TSettings& settings, IClock& clock);

}  // namespace qm
