// The console's end of the control channel: listens on the console pipe for
// the service's calls (notifications, pop-up records) and sends requests on
// the service's pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "control/ctrl_message.h"
#include "platform/pipe.h"
#include "platform/sync.h"

namespace cvn::console {

// Exit codes of the tool.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoService = 2,  // the service's pipe is not there
  kExitBusy = 3,       // another console holds a pipe
  kExitFailed = 4,     // the exchange with the service failed
  kExitDenied = 5,     // not allowed to open the pipes
};

class ConsoleSession {
 public:
  // Called on the listening thread with the text of each call the service
  // makes (one or more lines, no final newline).
  using Printer = std::function<void(const std::string& text)>;

  // Called on the listening thread with each complete call of the service,
  // as it arrived (length field included), before it is answered.
  using Observer = std::function<void(const control::CSTCtrlMessage& call)>;

  ConsoleSession(std::u16string server_pipe, std::u16string console_pipe, Printer printer,
                 Observer observer = nullptr);
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Listens on the console pipe, connects to the service, takes its greeting
  // and waits until the service has connected back. kExitOk or an exit code,
  // with the reason in Error().
  int Open(uint32_t timeout_ms);
  // One request and its complete reply on the service's pipe.
  bool Exchange(control::CSTCtrlMessage& request, control::CSTCtrlMessage& reply,
                uint32_t timeout_ms);
  // Waits up to timeout_ms; false when the service ended the connection.
  bool StillConnected(uint32_t timeout_ms);
  void Close();

  const std::string& Error() const { return error_; }
  // How many calls the service made on the console pipe.
  int CallsReceived() const { return calls_; }

 private:
  // Opens the service pipe, waiting a moment for one that is not there yet.
  uint32_t OpenServicePipe(uint32_t timeout_ms);
  void Listen();
  void Serve();
  bool Await(size_t* bytes);
  void Answer(control::CSTCtrlMessage& request, control::CSTCtrlMessage& reply);

  std::u16string server_pipe_name_;
  std::u16string console_pipe_name_;
  Printer printer_;
  Observer observer_;
  std::string error_;

  platform::ClientPipe service_;
  platform::ServerPipe listener_;
  std::thread listen_thread_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  platform::Event greeted_{platform::Event::Mode::kManualReset};
  std::atomic<int> calls_{0};
};

}  // namespace cvn::console
