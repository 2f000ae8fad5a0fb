// The Windows error numbers that portable code tests for. The posix platform
// layer reports the same numbers, so callers read alike on both systems.
#pragma once

#include <cstdint>

namespace cvn::err {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kHandleEof = 38;
constexpr uint32_t kFileExists = 80;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kDiskFull = 112;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kNoMoreItems = 259;
constexpr uint32_t kStoppedOnSymlink = 681;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kServiceRequestTimeout = 1053;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr uint32_t kServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kServiceNotActive = 1062;
constexpr uint32_t kServiceExists = 1073;
constexpr uint32_t kEventLogFileChanged = 1503;
constexpr uint32_t kRpcServerUnavailable = 1722;
constexpr uint32_t kServiceNotReady = 1717;

}  // namespace cvn::err
