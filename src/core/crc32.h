// CRC-32 as used by Ethernet and zip (IEEE 802.3: reflected polynomial
// 0xEDB88320, initial value all ones, final complement). Used to notice that
// a watched file's content changed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

// The CRC of size bytes. To checksum data in pieces, pass the previous result
// as crc for each following piece.
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

}  // namespace cvn
