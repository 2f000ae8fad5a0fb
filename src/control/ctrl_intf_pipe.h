// The control channel on two local pipes.
//
// The service end listens on the server pipe and serves one console at a time
// on a work thread: it greets a new console with "ST", connects back to the
// console's own pipe, then answers each request (assembled from chunks of up
// to 4096 bytes) through the dispatcher and the derived class's handlers.
// Calls towards the console (CI_CallMethod, CI_SetProperty) go over the
// back-connection, one exchange at a time whatever thread issues them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "control/ctrl_intf.h"
#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace cvn::control {

class CSTCtrlIntfPipe : public CSTCtrlIntf {
 public:
  // How long an exchange on the back-connection may wait for the console
  // before the connection is given up, and how long the console has to greet.
  static constexpr uint32_t kDefaultReplyTimeoutMs = 60000;
  static constexpr uint32_t kGreetingTimeoutMs = 5000;
  // How long a console has to take the greeting or a reply before it is
  // dropped.
  static constexpr uint32_t kDefaultTakeTimeoutMs = 30000;
  // How long CI_Deactivate waits for the work thread.
  static constexpr uint32_t kStopTimeoutMs = 5000;
  static constexpr uint32_t kThreadGivenUp = 0xFFFFFFFEu;

  CSTCtrlIntfPipe();
  // The owner calls CI_Disconnect, CI_Deactivate and CI_Cleanup before; the
  // destructor does what is left undone.
  ~CSTCtrlIntfPipe() override;

  int CI_Initialize() override;
  int CI_Activate() override;
  int CI_Connect() override;
  int CI_Disconnect() override;
  int CI_Deactivate() override;
  int CI_Cleanup() override;
  int CI_PerformOperation(CSTCtrlMessage& request, CSTCtrlMessage& reply) override;

  // The work thread's body: serves consoles until the stop event is set.
  uint32_t CI_WorkThreadBody();

  // Runs work with the file-access rights of the console being served
  // (ServerPipe::RunAsClient); for a handler on the work thread.
  uint32_t CI_RunAsClient(const std::function<uint32_t()>& work) {
    return server_pipe_.RunAsClient(work);
  }
  // The account of the console being served, for log lines.
  std::string CI_ClientUser() { return server_pipe_.ClientUser(); }
  bool CI_ClientIsAdministrator() { return server_pipe_.ClientIsAdministrator(); }
  // Whether the console behind the back-connection runs as an administrator.
  bool CI_ConsoleIsAdministrator() const { return console_is_admin_; }

 protected:
  // Pipe names; tests use their own so they never meet a running service.
  void SetPipeNames(std::u16string server_pipe, std::u16string console_pipe);
  void SetReplyTimeout(uint32_t timeout_ms) { reply_timeout_ms_ = timeout_ms; }
  void SetTakeTimeout(uint32_t timeout_ms) { take_timeout_ms_ = timeout_ms; }

 private:
  void DropConnection(bool& greeted, bool& write_pending, CtrlMessageAssembler& request);

  std::u16string server_pipe_name_;
  std::u16string console_pipe_name_;
  uint32_t reply_timeout_ms_ = kDefaultReplyTimeoutMs;
  uint32_t take_timeout_ms_ = kDefaultTakeTimeoutMs;
  std::atomic<bool> console_is_admin_{false};

  platform::Thread work_thread_;
  std::unique_ptr<platform::Event> stop_event_;
  platform::ServerPipe server_pipe_;
  platform::ClientPipe client_pipe_;
  // Taken by CI_Connect and CI_Disconnect.
  platform::Lock client_lock_;
  // Held for a whole exchange on the back-connection, so that exchanges from
  // different threads never interleave. Taken before client_lock_.
  platform::Lock exchange_lock_;
};

}  // namespace cvn::control
