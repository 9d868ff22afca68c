#include "qelm/http.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <vector>

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

// The settings every exchange shares: http and https only, no signals, the
// time-outs, HTTP errors as failures, and the answer collected into response
// within kMaxResponse.
void Configure(CURL* curl, const std::string& url, long timeout, char* error, std::string* response) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout < 10 ? timeout : 10L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, response);
}

bool IsHttpUrl(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

std::string FailureText(const std::string& url, const char* error, CURLcode result) {
  return url + ": " + (error[0] != '\0' ? error : curl_easy_strerror(result));
}

}  // namespace

uint32_t HttpExchange(Context* context, const std::string& url, const std::string* body, const char* contentType,
                      std::string* response) {
  response->clear();
  if (!IsHttpUrl(url)) return Fail(context, ORLAX_E_BAD_URL, url);
  InitCurlOnce();
  std::unique_ptr<CURL, Deleter<curl_easy_cleanup>> curl(curl_easy_init());
  if (curl == nullptr) throw std::bad_alloc();
  std::unique_ptr<curl_slist, Deleter<curl_slist_free_all>> headers;
  char error[CURL_ERROR_SIZE] = "";
  Configure(curl.get(), url, TimeoutSeconds(), error, response);
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
    return Fail(context, ORLAX_E_NETWORK, FailureText(url, error, result));
  }
  return 0;
}

std::vector<HttpAnswer> HttpGetAll(const std::vector<std::string>& urls) {
  struct Transfer {
    std::unique_ptr<CURL, Deleter<curl_easy_cleanup>> curl;
    char error[CURL_ERROR_SIZE] = "";
    bool done = false;
  };
  std::vector<HttpAnswer> answers(urls.size());
  std::vector<Transfer> transfers(urls.size());
  InitCurlOnce();
  std::unique_ptr<CURLM, Deleter<curl_multi_cleanup>> multi(curl_multi_init());
  if (multi == nullptr) throw std::bad_alloc();
  const long timeout = TimeoutSeconds();
  for (size_t i = 0; i < urls.size(); ++i) {
    if (!IsHttpUrl(urls[i])) {
      answers[i] = {ORLAX_E_BAD_URL, urls[i], {}};
      transfers[i].done = true;
      continue;
    }
    transfers[i].curl.reset(curl_easy_init());
    if (transfers[i].curl == nullptr) throw std::bad_alloc();
    Configure(transfers[i].curl.get(), urls[i], timeout, transfers[i].error, &answers[i].body);
    curl_multi_add_handle(multi.get(), transfers[i].curl.get());
  }
  // Every transfer ends by itself within its time-out.
  int running = 0;
  do {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    if (running > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) break;
  } while (running > 0);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    for (size_t i = 0; i < urls.size(); ++i) {
      if (transfers[i].curl.get() != message->easy_handle) continue;
      transfers[i].done = true;
      if (message->data.result != CURLE_OK) {
        answers[i].body.clear();
        answers[i].code = ORLAX_E_NETWORK;
        answers[i].failure = FailureText(urls[i], transfers[i].error, message->data.result);
      }
    }
  }
  for (size_t i = 0; i < urls.size(); ++i) {
    if (transfers[i].curl != nullptr) curl_multi_remove_handle(multi.get(), transfers[i].curl.get());
    if (!transfers[i].done) {  // the multi interface itself failed
      answers[i] = {ORLAX_E_NETWORK, urls[i] + ": " + curl_easy_strerror(CURLE_FAILED_INIT), {}};
    }
  }
  return answers;
}

uint32_t RecordHttpFailure(Context* context, const HttpAnswer& answer) {
  return Fail(context, answer.code, answer.failure);
}

}  // namespace qelm
