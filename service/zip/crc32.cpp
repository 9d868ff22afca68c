#include "service/zip/crc32.h"

#include <array>

namespace zip {
namespace {

// Eight tables, so that eight bytes are folded in per step.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t n = 0; n < 256; n++) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (std::uint32_t n = 0; n < 256; n++) {
    for (int k = 1; k < 8; k++) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  std::uint32_t c = ~crc;
  while (size >= 8) {
    std::uint32_t lo = c ^ (static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                            static_cast<std::uint32_t>(data[2]) << 16 |
                            static_cast<std::uint32_t>(data[3]) << 24);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][data[4]] ^ kTables[2][data[5]] ^ kTables[1][data[6]] ^
        kTables[0][data[7]];
    data += 8;
    size -= 8;
  }
  while (size-- != 0) c = kTables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace zip
