#pragma once
// The service "Quillmoot": hosts one TQuillmootServer for the service framework.
#include <memory>

#include "platform/ServiceManager.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {

// The service as registered with the service manager and named in every message.
const platform::ServiceIdentity& QuillmootService();

class TQuillmoot : public platform::ServiceModule {
 public:
  TQuillmoot() = default;
  ~TQuillmoot() override;
  TQuillmoot(const TQuillmoot&) = delete;
  TQuillmoot& operator=(const TQuillmoot&) = delete;

  // Creates the server and runs Server_Init. A failed start leaves no
  // server behind; its reason goes to the log, stderr and the service manager's status line.
  void ServiceStart(bool& started) override;
  // Grants the stop first, then Server_DeInit and destroys the server.
  void ServiceStop(bool& stopped) override;
  // Starts the registered service (after INSTALL, and for START).
  void ServiceAfterInstall() override;
  // Asks the registered service to stop when it runs (before UNINSTALL, and for STOP).
  void ServiceBeforeUninstall() override;

  TQuillmootServer* Server() const { return server_.get(); }

 private:
  void DropServer() noexcept;
  std::unique_ptr<TQuillmootServer> server_;
};

}  // namespace qm
