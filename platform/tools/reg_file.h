#pragma once
// The registry editor's text format (".reg" files, version 5.00) as the reg
// tool writes and reads it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\TORVAK]
//   "name"="text"             REG_SZ ending in its one NUL; \\ and \" escaped
//   @="text"                  the default value
//   "n"=dword:0000002a        REG_DWORD of exactly 4 bytes
//   "b"=hex:01,02             REG_BINARY
//   "m"=hex(7):61,00,00,00,\  any other type as hex(<type in hex>), with
//     00,00                   line continuation after a comma
//   "gone"=-                  (import) deletes the value
//   [-HKEY_CURRENT_USER\X]    (import) deletes the key and its subtree
//
// Export picks the quoted form only when reading it back gives the same bytes;
// any other REG_SZ (odd length, embedded or missing NUL, unpaired surrogate,
// a line break) is written as hex(1), so that export followed by import
// reproduces every value byte for byte.

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace regtool {

struct RegValue {
  std::wstring name;  // "" is the default value
  DWORD type = REG_SZ;
  std::string data;   // raw bytes as stored
  bool remove = false;
};

struct RegSection {
  std::wstring key;  // full path as written in the file, root name included
  bool remove = false;
  std::vector<RegValue> values;
};

// A key path split into its root and the path below it. Roots: HKLM,
// HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER (any letter case). FALSE for
// another root or an empty component.
struct KeyPath {
  HKEY root = nullptr;
  std::wstring rootName;  // the long form, e.g. HKEY_LOCAL_MACHINE
  std::wstring subKey;    // "" for the root itself
  std::wstring Full() const { return subKey.empty() ? rootName : rootName + L"\\" + subKey; }
};
bool ParseKeyPath(std::wstring_view text, KeyPath& path);

// The whole file text (CR LF line ends), ready for EncodeRegFile.
std::wstring FormatRegFile(const std::vector<RegSection>& sections);

// UTF-16LE with a byte-order mark, as the registry editor writes.
std::string EncodeRegFile(std::wstring_view text);

// File bytes to text: UTF-16LE with its mark, or UTF-8 with or without one.
// FALSE for malformed UTF-8 or UTF-16.
bool DecodeRegFile(const std::string& bytes, std::wstring& text);

// Parses a whole file. FALSE with a message naming the line on the first
// fault; then sections is incomplete and must not be applied.
bool ParseRegFile(std::wstring_view text, std::vector<RegSection>& sections, std::wstring& error);

}  // namespace regtool
