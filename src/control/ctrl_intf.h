// The control channel's interface: lifecycle, the generic method call and
// property assignment towards the other side, and the dispatcher of incoming
// requests to the handlers that a derived class supplies.
#pragma once

#include <atomic>
#include <cstdint>

#include "control/ctrl_message.h"

namespace cvn::control {

// Result of CI_CallMethod and CI_SetProperty when no back-connection is open.
constexpr int kNotConnected = -1;

class CSTCtrlIntf {
 public:
  CSTCtrlIntf() = default;
  virtual ~CSTCtrlIntf() = default;
  CSTCtrlIntf(const CSTCtrlIntf&) = delete;
  CSTCtrlIntf& operator=(const CSTCtrlIntf&) = delete;

  virtual int CI_Initialize() = 0;
  virtual bool CI_IsInitialized() { return initialized_; }
  virtual int CI_Activate() = 0;
  virtual bool CI_IsActivated() { return activated_; }
  virtual int CI_Connect() = 0;
  virtual bool CI_IsConnected() { return connected_; }
  virtual int CI_Disconnect() = 0;
  virtual int CI_Deactivate() = 0;
  virtual int CI_Cleanup() = 0;

  // Calls a numbered method on the other side. 0 with its result; -1 when not
  // connected; 0x0002xxxx when the exchange failed (xxxx its low word);
  // 0x0004FFFE when the reply is not a method-call reply.
  virtual int CI_CallMethod(uint8_t method, int& result);
  // Asked before a property assignment goes out; true lets it go.
  virtual bool CI_AllowSetProperty(uint8_t id, uint8_t last_value_byte);
  // One request-reply exchange on the back-connection; the complete reply is
  // appended to reply.
  virtual int CI_PerformOperation(CSTCtrlMessage& request, CSTCtrlMessage& reply) = 0;

  // Request handlers (the service's operations); the defaults do nothing.
  virtual int CI_OnGetProperty(uint8_t id, CSTCtrlMessage& reply);
  virtual int CI_OnSetProperty(uint8_t id, CSTCtrlMessage& request);
  virtual void CI_OnClientConnected() {}
  virtual void CI_OnClientDisconnected() {}
  // Asked before a method call (id: the method) or a property assignment
  // (id: the property) is handed on; false refuses it: a method call is
  // answered with kRequestRefused, an assignment is acknowledged undone.
  virtual bool CI_MayServe(uint8_t /*kind*/, uint8_t /*id*/) { return true; }
  // A console left the greeting or a reply untaken for timeout_ms; it is
  // dropped next.
  virtual void CI_OnConsoleStalled(uint32_t /*timeout_ms*/) {}
  virtual int OnNotify(int method);

  // Sends a property assignment to the other side; values holds the
  // property's values after its length field. 0 when the exchange succeeded;
  // -1 when not connected; 0x0000FFFF without values; 0x0002FFFF when
  // CI_AllowSetProperty refused; 0x0004xxxx when the exchange failed.
  int CI_SetProperty(uint8_t id, const CSTCtrlMessage& values);

  // Dispatches one complete request to the handlers and builds the reply.
  // -1 for an empty request, an unknown kind, or a method call or property
  // query without its number; the reply is then not to be sent.
  int CI_OnPerformOperation(CSTCtrlMessage& request, CSTCtrlMessage& reply);

 protected:
  std::atomic<bool> initialized_{false};
  std::atomic<bool> activated_{false};
  std::atomic<bool> connected_{false};
};

}  // namespace cvn::control
