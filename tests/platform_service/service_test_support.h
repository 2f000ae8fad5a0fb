// Helpers for tests that drive a real service through the service manager:
// the test helper service next to the test executable, a wait for a state,
// and the removal of a service left over from an earlier run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/service_manager.h"

namespace cvn::testing {

// The command line that runs program (a file next to the test executable)
// with arguments.
std::u16string CommandNextToTest(std::u16string_view program, std::u16string_view arguments);

// The command line that runs the helper service as name in mode (see
// fake_service.cpp), with an optional file argument.
std::u16string FakeServiceCommand(std::u16string_view name, std::u16string_view mode,
                                  std::u16string_view file = {});

// Polls the status until it reads state; false after timeout_ms (a fail-safe,
// not a timing check) or when the query fails.
bool WaitForState(platform::Service& service, uint32_t state, uint32_t timeout_ms = 30000);

// Stops and deletes the service if it exists and waits until it is gone.
void RemoveServiceIfPresent(std::u16string_view name);

// Creates a demand-start service with the command line; 0 or the error.
uint32_t CreateServiceEntry(std::u16string_view name, const std::u16string& command_line);

// Creates a demand-start service running the helper in mode; 0 or the error.
uint32_t CreateFakeService(std::u16string_view name, std::u16string_view mode,
                           std::u16string_view file = {});

}  // namespace cvn::testing
