#pragma once
// Files that hold a secret (a key's password): read only when no one but
// their owner can have seen or changed them.

#include <cstddef>
#include <string>

#include "platform/windows_types.h"

namespace platform {

// Reads the whole of a file that is a regular file (a link is not followed),
// owned by root or by the user the process runs as, and neither readable nor
// writable by group or others. 0 on success; 2 when there is no such file,
// 5 when it is refused (a link, another owner, rights for others, not a
// regular file), 111 when it is longer than maxSize, the system's code when
// it cannot be read.
DWORD ReadOwnerOnlyFile(const std::string& path, std::size_t maxSize, std::string& content);

}  // namespace platform
