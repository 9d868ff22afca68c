#pragma once
// The system's wide text from a test's UTF-8 texts and paths, and back.

#include <filesystem>
#include <string>

#include "platform/codepage.h"
#include "platform/cstring.h"

namespace testsupport {

inline CString Wide(const std::string& text) { return CString(platform::MultiByteToWide(text, CP_UTF8).c_str()); }
inline CString Wide(const char* text) { return Wide(std::string(text)); }
inline CString Wide(const std::filesystem::path& path) { return Wide(path.string()); }
inline std::string Utf8(const CString& text) { return platform::WideToMultiByte(text.str(), CP_UTF8); }

}  // namespace testsupport
