// The web status report.
#include "keepalive/TPingThread.hpp"

namespace qm {

void TPingThread::UpdateStats() {}
void TPingThread::PostData(const std::string&) {}

}  // namespace qm
