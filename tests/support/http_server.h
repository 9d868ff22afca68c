#pragma once
// A small HTTP server on 127.0.0.1 for tests that need a time-stamp authority
// or a CRL distribution point: it serves registered bytes on GET and answers
// RFC 3161 time-stamp queries on POST, and can be switched to fail.
//
// It binds an ephemeral port, so tests in parallel never collide. One thread
// serves one connection at a time: it reads one request (HTTP/1.0 or 1.1,
// body by Content-Length only), answers it with Content-Length and
// "Connection: close", and closes the connection. Requests larger than
// kMaxRequest get 413; a connection that does not deliver its request within
// the time-out is dropped unanswered.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct TestPki;

class LocalHttpServer {
 public:
  static constexpr size_t kMaxRequest = 1 << 20;  // head and body together
  // The policy the time-stamp authority stamps with (and the only one it accepts).
  static constexpr const char* kTsaPolicy = "1.2.3.4.1";

  // What the server does with every request, whatever its path.
  enum class Mode {
    kServe,   // answer normally
    kFail,    // answer "500 Internal Server Error" with an empty body
    kRefuse,  // accept the connection and close it at once, unread and unanswered
              // (the client sees an empty reply or a connection reset)
  };

  struct Request {
    std::string method;
    std::string path;  // without the query string
    std::string version;  // "HTTP/1.0" or "HTTP/1.1"
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    int status = 0;  // the status answered (0: none, the connection was dropped)
  };

  // Starts listening and serving. Throws std::runtime_error when it cannot.
  LocalHttpServer();
  // Stops the serving thread (an unfinished connection is dropped) and closes the socket.
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  uint16_t Port() const;
  // "http://127.0.0.1:<port>" followed by `path` (which starts with "/").
  std::string Url(const std::string& path) const;

  // GET `path` answers 200 with these bytes and this Content-Type from now on
  // (a second call replaces the first). Other GET paths answer 404.
  void Serve(const std::string& path, const std::string& body,
             const std::string& contentType = "application/octet-stream");
  // The same with a file's bytes, read now (a CRL is served as application/pkix-crl).
  void ServeFile(const std::string& path, const std::filesystem::path& file,
                 const std::string& contentType = "application/pkix-crl");

  // POST `path` with Content-Type application/timestamp-query is answered by a
  // time-stamp authority using the key and certificate of `pki`'s holder (the
  // CA's certificate is added to the token when the query asks for
  // certificates), with Content-Type application/timestamp-reply. Other
  // content types get 415. A query that cannot be read or asks for another
  // policy gets a 200 answer whose status is "rejection" (as an authority
  // answers); 500 only when openssl itself fails. The PKI's
  // files must stay in place while the server lives. Throws std::runtime_error
  // if the authority's configuration cannot be written.
  // With `imprintAlgorithm` (a dotted OID) the authority stamps the query's
  // imprint bytes under that digest's name instead of the one asked for,
  // keeping the nonce: a stamp no honest authority gives. An authority that
  // chains to no root of the shared PKI's LOCAL: one enabled with a PKI made
  // by TestPki::Make (same names, other keys). `holder` names the PKI's
  // authority that signs ("tsa", or "tsa_short" / "tsa_later", whose stamps
  // carry a time outside their certificates' validity).
  void EnableTimeStamping(const TestPki& pki, const std::string& path = "/tsa",
                          const std::string& imprintAlgorithm = "", const std::string& holder = "tsa");

  void SetMode(Mode mode);
  // Runs hook on the serving thread for every request read whole, before it
  // is answered, so that a test can act while its client waits (an empty
  // hook: none).
  void SetRequestHook(std::function<void(const Request&)> hook);
  // How long one connection may take to deliver its request (default 5 s).
  void SetTimeout(std::chrono::milliseconds timeout);

  // Requests received for `path` (any method, any outcome, refused ones not
  // counted since they are never read).
  int Count(const std::string& path) const;
  // Connections accepted, including refused and timed-out ones.
  int Connections() const;
  // A copy of every request received so far, oldest first.
  std::vector<Request> Requests() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Sends `request` (raw bytes) to 127.0.0.1:`port`, then reads until the server
// closes the connection and returns everything it answered ("" when the
// connection failed or was closed unanswered). Gives up after `timeout`.
std::string SendHttpRequest(uint16_t port, const std::string& request,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Splits a raw HTTP answer: returns the status code (0 when it is not a
// well-formed answer) and stores the body when `body` is not null.
int ParseHttpResponse(const std::string& response, std::string* body = nullptr,
                      std::map<std::string, std::string>* headers = nullptr);

// Posts a time-stamp query to `path` on 127.0.0.1:`port`, as the library
// does; the HTTP status, with the reply's body in `reply`.
int PostTimeStampQuery(uint16_t port, const std::string& path, const std::string& query, std::string* reply);

}  // namespace testsupport
