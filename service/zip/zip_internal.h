#pragma once
// Shared inside the ZIP library only.

#include <cstdint>
#include <cstring>

#include "platform/windows_types.h"

namespace zip {

// Records the result of a writer call for ZipResultText(1) and returns it.
DWORD SetLastWriterResult(DWORD result);

// Signatures of the ZIP format's records.
inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kCentralHeaderSize = 46;
inline constexpr std::size_t kEndRecordSize = 22;
inline constexpr std::uint16_t kExtendedTimestampId = 0x5455;  // "UT"
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;
inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr std::uint16_t kFlagUtf8Name = 0x0800;  // the name is UTF-8

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint8_t* Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  return p + 2;
}
inline std::uint8_t* Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return p + 4;
}

}  // namespace zip
