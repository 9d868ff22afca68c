#pragma once
// HTTP exchanges of the library (time stamps, revocation lists) with bounded
// time and size.

#include <string>

#include "qelm/internal.h"

namespace qelm {

// GET (body null) or POST of body with contentType. 0, BAD_URL or NETWORK
// (with a stack line naming the address and the cause).
uint32_t HttpExchange(Context* context, const std::string& url, const std::string* body, const char* contentType,
                      std::string* response);

}  // namespace qelm
