// A console's request as the service receives it: chunks of up to 4096 bytes
// assembled into a message, dispatched to the core's property handlers,
// which pop their typed values; then every typed pop on the raw message.
#include "control/ctrl_message.h"
#include "control/ctrl_protocol.h"
#include "core/cvn_core.h"
#include "fuzz_support.h"

namespace {

using cvn::control::CSTCtrlMessage;

// Pops values of the types the input's bytes choose until the stack is empty
// or a pop fails.
void PopTyped(CSTCtrlMessage message, std::span<const uint8_t> choices) {
  for (uint8_t choice : choices) {
    bool popped = false;
    switch (choice % 5) {
      case 0: {
        uint8_t v = 0;
        popped = message.ValueFromStack(v);
        break;
      }
      case 1: {
        uint16_t v = 0;
        popped = message.ValueFromStack(v);
        break;
      }
      case 2: {
        int32_t v = 0;
        popped = message.ValueFromStack(v);
        break;
      }
      case 3: {
        std::u16string v;
        popped = message.ValueFromStack(v);
        break;
      }
      default: {
        std::vector<std::u16string> v;
        popped = message.ValueFromStack(v);
        break;
      }
    }
    if (!popped || !message.HasValues()) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)cvn::fuzz::MachineRoot();
  static cvn::CCVNCore core;
  std::span<const uint8_t> input(data, size);
  // The first byte chooses the chunk size, as pipe reads may split a message.
  const size_t chunk = 1 + cvn::fuzz::TakeU8(input) * 16;
  cvn::control::CtrlMessageAssembler assembler;
  for (size_t at = 0; at < input.size(); at += chunk) {
    const auto piece = input.subspan(at, std::min(chunk, input.size() - at));
    const auto state = assembler.Add(piece);
    if (state == cvn::control::CtrlMessageAssembler::kRejected) break;
    if (state == cvn::control::CtrlMessageAssembler::kComplete) {
      CSTCtrlMessage request = assembler.Take();
      PopTyped(request, input);
      CSTCtrlMessage reply;
      core.CI_OnPerformOperation(request, reply);
    }
  }
  return 0;
}
