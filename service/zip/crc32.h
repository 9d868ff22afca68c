#pragma once
// CRC-32 with the ISO 3309 polynomial (0xEDB88320 reflected), as ZIP and gzip
// use it. Start with 0 and feed the data in pieces:
//   crc = UpdateCrc32(UpdateCrc32(0, a, n), b, m);

#include <cstddef>
#include <cstdint>

namespace zip {
std::uint32_t UpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
}
