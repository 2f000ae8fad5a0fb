#include "control/ctrl_intf.h"

namespace cvn::control {

int CSTCtrlIntf::CI_CallMethod(uint8_t method, int& result) {
  if (!CI_IsConnected()) return kNotConnected;
  CSTCtrlMessage request;
  request.ValueToStack(method);
  request.ValueToStack(static_cast<uint8_t>(kKindMethodCall));
  CSTCtrlMessage reply;
  const int rc = CI_PerformOperation(request, reply);
  if (rc != 0) return static_cast<int>(0x00020000u | (static_cast<uint32_t>(rc) & 0xFFFFu));
  uint8_t kind = 0;
  if (reply.LastByte() != kKindMethodReply || !reply.ValueFromStack(kind)) return 0x0004FFFE;
  int32_t value = 0;
  if (reply.ValueFromStack(value)) result = value;
  return 0;
}

bool CSTCtrlIntf::CI_AllowSetProperty(uint8_t /*id*/, uint8_t /*last_value_byte*/) { return true; }

int CSTCtrlIntf::CI_OnGetProperty(uint8_t /*id*/, CSTCtrlMessage& /*reply*/) { return 0; }

int CSTCtrlIntf::CI_OnSetProperty(uint8_t /*id*/, CSTCtrlMessage& /*request*/) { return 0; }

int CSTCtrlIntf::OnNotify(int /*method*/) { return 0; }

int CSTCtrlIntf::CI_SetProperty(uint8_t id, const CSTCtrlMessage& values) {
  if (!CI_IsConnected()) return kNotConnected;
  if (!values.HasValues()) return 0x0000FFFF;
  if (!CI_AllowSetProperty(id, values.LastByte())) return 0x0002FFFF;
  CSTCtrlMessage request;
  request.AppendRaw(std::span<const uint8_t>(values.Bytes()).subspan(kLengthFieldSize));
  request.ValueToStack(id);
  request.ValueToStack(static_cast<uint8_t>(kKindPropertySet));
  CSTCtrlMessage reply;
  const int rc = CI_PerformOperation(request, reply);
  if (rc != 0) return static_cast<int>(0x00040000u | (static_cast<uint32_t>(rc) & 0xFFFFu));
  return 0;
}

int CSTCtrlIntf::CI_OnPerformOperation(CSTCtrlMessage& request, CSTCtrlMessage& reply) {
  uint8_t kind = 0;
  if (!request.ValueFromStack(kind)) return -1;
  switch (kind) {
    case kKindMethodCall: {
      uint8_t method = 0;
      if (!request.ValueFromStack(method)) return -1;
      reply.Clear();
      const int result = CI_MayServe(kind, method) ? OnNotify(method) : kRequestRefused;
      reply.ValueToStack(static_cast<int32_t>(result));
      reply.ValueToStack(static_cast<uint8_t>(kKindMethodReply));
      return 0;
    }
    case kKindPropertyQuery: {
      uint8_t id = 0;
      if (!request.ValueFromStack(id)) return -1;
      reply.Clear();
      CI_OnGetProperty(id, reply);
      reply.ValueToStack(static_cast<uint8_t>(kKindPropertyReply));
      return 0;
    }
    case kKindPropertySet: {
      uint8_t id = 0;
      if (!request.ValueFromStack(id)) return -1;
      reply.Clear();
      if (CI_MayServe(kind, id)) CI_OnSetProperty(id, request);
      reply.ValueToStack(static_cast<uint8_t>(kKindPropertySetReply));
      return 0;
    }
    default: return -1;
  }
}

}  // namespace cvn::control
