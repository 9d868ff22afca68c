#pragma once
// HTTP exchanges of the library (time stamps, revocation lists) with bounded
// time and size.

#include <string>
#include <vector>

#include "qelm/internal.h"

namespace qelm {

// GET (body null) or POST of body with contentType. 0, BAD_URL or NETWORK
// (with a stack line naming the address and the cause).
uint32_t HttpExchange(Context* context, const std::string& url, const std::string* body, const char* contentType,
                      std::string* response);

// What one GET of HttpGetAll gave: code 0 with the body, or BAD_URL or NETWORK
// with the text of the stack line HttpExchange would have pushed.
struct HttpAnswer {
  uint32_t code = 0;
  std::string failure;
  std::string body;
};

// GETs of every url at once, side by side, each with HttpExchange's time-out
// and size bound: points that never answer cost one time-out together, not
// one each. The answers in the order of urls; nothing goes on a stack.
std::vector<HttpAnswer> HttpGetAll(const std::vector<std::string>& urls);

// Pushes a failed answer's stack line, as HttpExchange pushes it; returns its code.
uint32_t RecordHttpFailure(Context* context, const HttpAnswer& answer);

}  // namespace qelm
