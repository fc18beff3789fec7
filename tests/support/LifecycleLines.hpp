#pragma once
// The start-up and shutdown progress lines, in the order the log must show them.
#include <string>
#include <vector>

namespace qm::test {

inline const std::vector<std::string> kStartupLines = {"----Entering server init----",
                                                       "Created Threadlists",
                                                       "Done reading ini file",
                                                       "UDP+TCP created",
                                                       "Creating ping thread",
                                                       "Created ping thread",
                                                       "Creating UDPsender thread",
                                                       "Created UDPsender thread",
                                                       "Activated tcp/udp",
                                                       "Started Ping Thread",
                                                       "----Quillmoot server started----"};
inline const std::vector<std::string> kShutdownLines = {"----Entering Server_DeInit ---- ",
                                                        "Server_DeInit -- pingpong term sent",
                                                        "Server_DeInit -- UDPThread term + event sent",
                                                        "Server_DeInit -- Slept 2 secs",
                                                        "Server_DeInit -- Stopped TCP",
                                                        "Server_DeInit -- Stopped UDP",
                                                        "----Quillmoot server shutdown----"};

}  // namespace qm::test
