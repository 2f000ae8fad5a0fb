// Helpers shared by the fuzz targets. Each target process gets its own
// machine root (CORVANE_ROOT), made before the first input and removed at
// exit, so no run sees emulated state left by another process; a target
// that writes files there overwrites them on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace cvn::fuzz {

// The process's machine root; the first call creates it and points
// CORVANE_ROOT at it.
const std::filesystem::path& MachineRoot();

// Replaces the file at path by bytes (parents created).
void WriteFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// A path as the UTF-16 text the service's APIs take.
std::u16string U16(const std::filesystem::path& path);

// Reads a little-endian number from the front of bytes and drops it; 0 when
// too few bytes are left.
uint32_t TakeU32(std::span<const uint8_t>& bytes);
uint16_t TakeU16(std::span<const uint8_t>& bytes);
uint8_t TakeU8(std::span<const uint8_t>& bytes);

}  // namespace cvn::fuzz
