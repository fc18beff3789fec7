#pragma once
// The keep-alive rule for one client, asked by every ping pass: is the client quiet long enough
// to need a ping, has its pending ping gone unanswered, has it used up its tries.
#include "net/TrafficCounters.hpp"
#include "net/UdpEndpoint.hpp"

namespace qm {

class IClock;
class TServerClient;
struct ServerSettings;

// What a ping needs of the server: the socket it leaves from and the counters it adds to.
struct PingSender {
  UdpEndpoint& udpServer;
  TrafficCounters& counters;
};

enum class PingOutcome {
  kNothingToDo,  // not quiet long enough, its ping still awaited, no address yet, or the send failed
  kPinged,
  kGiveUp,  // more unanswered pings than MaxPingTries
};

// Sends the client a ping when one is due. Quiet time and the wait for a pong are elapsed ticks
// (wrap-safe), never times of day, so midnight changes nothing.
PingOutcome StartPing(TServerClient& client, const PingSender& sender, const ServerSettings& settings, IClock& clock);

}  // namespace qm
