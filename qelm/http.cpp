#include "qelm/http.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

namespace qelm {
namespace {

// Answers above this size are refused: a time stamp or a revocation list is
// far smaller, and a runaway server must not exhaust memory.
constexpr size_t kMaxResponse = 64u << 20;

long TimeoutSeconds() {
  const char* value = std::getenv("QELM_NET_TIMEOUT");
  long seconds = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
  return seconds > 0 ? seconds : 30;
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<std::string*>(user);
  size_t n = size * count;
  if (response->size() + n > kMaxResponse) return 0;  // aborts the transfer
  response->append(data, n);
  return n;
}

void InitCurlOnce() {
  static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  (void)done;
}

}  // namespace

uint32_t HttpExchange(Context* context, const std::string& url, const std::string* body, const char* contentType,
                      std::string* response) {
  response->clear();
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return Fail(context, ORLAX_E_BAD_URL, url);
  InitCurlOnce();
  std::unique_ptr<CURL, Deleter<curl_easy_cleanup>> curl(curl_easy_init());
  if (curl == nullptr) throw std::bad_alloc();
  std::unique_ptr<curl_slist, Deleter<curl_slist_free_all>> headers;
  const long timeout = TimeoutSeconds();
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeout);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, timeout < 10 ? timeout : 10L);
  curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, response);
  if (body != nullptr) {
    std::string header = std::string("Content-Type: ") + contentType;
    headers.reset(curl_slist_append(nullptr, header.c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  }
  CURLcode result = curl_easy_perform(curl.get());
  if (result != CURLE_OK) {
    response->clear();
    return Fail(context, ORLAX_E_NETWORK, url + ": " + (error[0] != '\0' ? error : curl_easy_strerror(result)));
  }
  return 0;
}

}  // namespace qelm
