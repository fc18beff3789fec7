#include "datagram/TUDPSender.hpp"

#include "platform/Error.hpp"
#include "server/Log.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {

TUDPSender::~TUDPSender() {
  Terminate();
  Join();
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", kLogProgress);
  while (!Terminated()) {
    server_.SystemEvent->Wait();
    if (Terminated()) break;
    ProcessUDPList();
  }
  WriteLog("UDPSender.Terminated", kLogProgress);
}

void TUDPSender::ProcessUDPList() {
  try {
    server_.voiceQueue->TakeAll(batch_);
    server_.voiceQueue->Recycle(batch_);
  } catch (const std::exception& e) {
    WriteLog(std::string("in: TUDPSender.ProcessUDPList exception ") + DescribeException(e), kLogException);
  }
}

}  // namespace qm
