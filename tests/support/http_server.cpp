#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/der.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace testsupport {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Resource {
  std::string body;
  std::string contentType;
};

struct Answer {
  int status = 0;
  std::string contentType;
  std::string body;
};

const char* Reason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Unknown";
  }
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string TrimSpaces(const std::string& s) {
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Writes all of `data`; false when the peer went away or the deadline passed.
bool SendAll(int fd, const std::string& data, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, static_cast<int>(left));
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

struct LocalHttpServer::State {
  Fd listener;
  Fd wake;  // eventfd written by the destructor to stop the thread
  uint16_t port = 0;
  fs::path work;  // the time-stamp authority's configuration and scratch files
  std::thread thread;

  mutable std::mutex mutex;
  std::map<std::string, Resource> resources;
  struct Authority {
    fs::path config;               // the ts configuration file
    std::string imprintAlgorithm;  // dotted OID put into every query, or ""
  };
  std::map<std::string, Authority> tsaConfigs;  // by path
  Mode mode = Mode::kServe;
  std::function<void(const Request&)> hook;
  std::chrono::milliseconds timeout{5000};
  std::vector<Request> requests;
  int connections = 0;

  void Run();
  void HandleConnection(int fd);
  // Reads one request into `request`; returns 0 when complete, an HTTP status
  // to answer when it is malformed, or -1 when the connection is to be dropped.
  int ReadRequest(int fd, Clock::time_point deadline, Request* request);
  // Waits until `fd` is readable; false on stop, time-out or error.
  bool WaitReadable(int fd, Clock::time_point deadline);
  Answer Respond(const Request& request);
  Answer TimeStamp(const Authority& authority, const Request& request);
};

LocalHttpServer::LocalHttpServer() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.listener.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.listener.get() < 0) throw std::runtime_error("http server: socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(s.listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s.listener.get(), 64) != 0)
    throw std::runtime_error(std::string("http server: cannot listen: ") + std::strerror(errno));
  socklen_t length = sizeof address;
  getsockname(s.listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  s.port = ntohs(address.sin_port);

  s.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (s.wake.get() < 0) throw std::runtime_error("http server: eventfd failed");

  // Scratch files live below the build folder, not in a test's TempRoot, so
  // that they outlive whichever root the test made before the server.
  fs::path base = BuildDir() / "tmp";
  fs::create_directories(base);
  std::string pattern = (base / "http-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("http server: mkdtemp failed");
  s.work = pattern;

  s.thread = std::thread([&s] { s.Run(); });
}

LocalHttpServer::~LocalHttpServer() {
  uint64_t one = 1;
  ssize_t ignored = write(state_->wake.get(), &one, sizeof one);
  (void)ignored;
  if (state_->thread.joinable()) state_->thread.join();
  std::error_code error;
  fs::remove_all(state_->work, error);
}

uint16_t LocalHttpServer::Port() const { return state_->port; }

std::string LocalHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + path;
}

void LocalHttpServer::Serve(const std::string& path, const std::string& body, const std::string& contentType) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->resources[path] = {body, contentType};
}

void LocalHttpServer::ServeFile(const std::string& path, const fs::path& file, const std::string& contentType) {
  if (!fs::exists(file)) throw std::runtime_error("http server: no file " + file.string());
  Serve(path, ReadFileBytes(file), contentType);
}

void LocalHttpServer::EnableTimeStamping(const TestPki& pki, const std::string& path,
                                         const std::string& imprintAlgorithm, const std::string& holder) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const std::string name = "tsa" + std::to_string(state_->tsaConfigs.size());
  const fs::path serial = state_->work / (name + ".serial");
  const fs::path config = state_->work / (name + ".cnf");
  std::ofstream(serial) << "01\n";
  std::ofstream out(config);
  out << "[ tsa ]\n"
         "default_tsa = tsa_config\n"
         "[ tsa_config ]\n"
         "serial = " << serial.string() << "\n"
         "signer_cert = " << pki.Cert(holder).string() << "\n"
         "signer_key = " << pki.Key(holder).string() << "\n"
         "certs = " << pki.Cert("ca").string() << "\n"
         "signer_digest = md_gost12_256\n"
         "default_policy = " << kTsaPolicy << "\n"
         "digests = md_gost12_256, md_gost12_512, sha256\n"
         "accuracy = secs:1\n"
         "clock_precision_digits = 0\n"
         "ordering = no\n"
         "tsa_name = yes\n"
         "ess_cert_id_chain = no\n"
         "ess_cert_id_alg = md_gost12_256\n";
  out.close();
  if (!out) throw std::runtime_error("http server: cannot write " + config.string());
  state_->tsaConfigs[path] = {config, imprintAlgorithm};
}

void LocalHttpServer::SetMode(Mode mode) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->mode = mode;
}

void LocalHttpServer::SetRequestHook(std::function<void(const Request&)> hook) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->hook = std::move(hook);
}

void LocalHttpServer::SetTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->timeout = timeout;
}

int LocalHttpServer::Count(const std::string& path) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->requests.begin(), state_->requests.end(),
                                        [&](const Request& r) { return r.path == path; }));
}

int LocalHttpServer::Connections() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->connections;
}

std::vector<LocalHttpServer::Request> LocalHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

void LocalHttpServer::State::Run() {
  for (;;) {
    pollfd fds[2] = {{listener.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    Fd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (connection.get() < 0) continue;
    HandleConnection(connection.get());
  }
}

void LocalHttpServer::State::HandleConnection(int fd) {
  Mode currentMode;
  Clock::time_point deadline;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++connections;
    currentMode = mode;
    deadline = Clock::now() + timeout;
  }
  if (currentMode == Mode::kRefuse) return;

  Request request;
  int bad = ReadRequest(fd, deadline, &request);
  if (bad < 0) {
    if (!request.method.empty()) {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(request);
    }
    return;
  }
  if (bad == 0) {
    std::function<void(const Request&)> run;
    {
      std::lock_guard<std::mutex> lock(mutex);
      run = hook;
    }
    if (run) run(request);
  }
  Answer answer;
  if (bad > 0)
    answer.status = bad;
  else if (currentMode == Mode::kFail)
    answer.status = 500;
  else
    answer = Respond(request);

  request.status = answer.status;
  {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(request);
  }
  const std::string version = request.version == "HTTP/1.0" ? "HTTP/1.0" : "HTTP/1.1";
  std::string head = version + " " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
  if (!answer.contentType.empty()) head += "Content-Type: " + answer.contentType + "\r\n";
  head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
  if (request.method != "HEAD") head += answer.body;
  SendAll(fd, head, deadline + std::chrono::seconds(5));
  shutdown(fd, SHUT_WR);
  // Closing with unread input would reset the connection and could destroy
  // the answer before the client reads it (413 while it is still sending), so
  // the rest is read and dropped until the client closes.
  char sink[16384];
  while (WaitReadable(fd, deadline + std::chrono::seconds(5))) {
    ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
  }
}

bool LocalHttpServer::State::WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake.get(), POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || fds[1].revents) return false;
    return true;
  }
}

int LocalHttpServer::State::ReadRequest(int fd, Clock::time_point deadline, Request* request) {
  std::string data;
  size_t headEnd = std::string::npos;
  size_t bodyLength = 0;
  bool headParsed = false;
  char buffer[16384];
  for (;;) {
    if (!headParsed) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd == std::string::npos && data.size() > kMaxRequest) return 413;
      if (headEnd != std::string::npos) {
        headParsed = true;
        std::string head = data.substr(0, headEnd);
        size_t lineEnd = head.find("\r\n");
        std::string first = head.substr(0, lineEnd);
        size_t a = first.find(' '), b = first.rfind(' ');
        if (a == std::string::npos || a == b) return 400;
        request->method = first.substr(0, a);
        std::string target = first.substr(a + 1, b - a - 1);
        request->version = first.substr(b + 1);
        request->path = target.substr(0, target.find('?'));
        if (request->version != "HTTP/1.0" && request->version != "HTTP/1.1") return 400;
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
          size_t end = head.find("\r\n", pos);
          if (end == std::string::npos) end = head.size();
          std::string line = head.substr(pos, end - pos);
          size_t colon = line.find(':');
          if (colon == std::string::npos) return 400;
          request->headers[Lower(TrimSpaces(line.substr(0, colon)))] = TrimSpaces(line.substr(colon + 1));
          pos = end + 2;
        }
        if (request->headers.count("transfer-encoding")) return 411;  // bodies by Content-Length only
        if (auto it = request->headers.find("content-length"); it != request->headers.end()) {
          char* end = nullptr;
          unsigned long long length = std::strtoull(it->second.c_str(), &end, 10);
          if (it->second.empty() || *end != '\0') return 400;
          if (length > kMaxRequest || headEnd + 4 + length > kMaxRequest) return 413;
          bodyLength = static_cast<size_t>(length);
        }
        auto expect = request->headers.find("expect");
        if (request->version == "HTTP/1.1" && expect != request->headers.end() &&
            Lower(expect->second) == "100-continue" && bodyLength > 0) {
          if (!SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", deadline)) return -1;
        }
      }
    }
    if (headParsed && data.size() >= headEnd + 4 + bodyLength) {
      request->body = data.substr(headEnd + 4, bodyLength);
      return 0;
    }
    if (!WaitReadable(fd, deadline)) return -1;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return -1;
    data.append(buffer, static_cast<size_t>(n));
  }
}

Answer LocalHttpServer::State::Respond(const Request& request) {
  Resource resource;
  bool found = false;
  State::Authority authority;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = resources.find(request.path); it != resources.end()) resource = it->second, found = true;
    if (auto it = tsaConfigs.find(request.path); it != tsaConfigs.end()) authority = it->second;
  }
  if (!authority.config.empty()) {
    if (request.method != "POST") return {405, "", ""};
    return TimeStamp(authority, request);
  }
  if (request.method != "GET" && request.method != "HEAD") return {found ? 405 : 501, "", ""};
  if (!found) return {404, "", ""};
  return {200, resource.contentType, resource.body};
}

// The query with its imprint's digest algorithm renamed (the bytes, the nonce
// and the rest kept); the query unchanged when it cannot be read.
std::string RenameImprintAlgorithm(const std::string& query, const std::string& algorithm) {
  try {
    DerNode root = ParseDer(query);
    DerNode& identifier = root.children.at(1).children.at(0);
    identifier.children.at(0) = ParseDer(OidDer(algorithm));
    return root.Encode();
  } catch (const std::exception&) {
    return query;
  }
}

Answer LocalHttpServer::State::TimeStamp(const Authority& authority, const Request& request) {
  auto type = request.headers.find("content-type");
  if (type == request.headers.end() || Lower(type->second) != "application/timestamp-query") return {415, "", ""};
  // One request at a time, so fixed scratch names are safe.
  const fs::path query = work / "query.tsq";
  const fs::path reply = work / "reply.tsr";
  const fs::path& config = authority.config;
  std::ofstream(query, std::ios::binary)
      << (authority.imprintAlgorithm.empty() ? request.body
                                             : RenameImprintAlgorithm(request.body, authority.imprintAlgorithm));
  fs::remove(reply);
  std::string output;
  if (RunOpenssl({"ts", "-reply", "-config", config.string(), "-queryfile", query.string(), "-out", reply.string()},
                 &output) != 0 ||
      !fs::exists(reply))
    return {500, "", ""};
  return {200, "application/timestamp-reply", ReadFileBytes(reply)};
}

std::string SendHttpRequest(uint16_t port, const std::string& request, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return "";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  // A refused or failed request may close the connection before everything
  // is sent; what was answered is still read.
  SendAll(fd.get(), request, deadline);
  std::string answer;
  char buffer[16384];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p = {fd.get(), POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ssize_t got = recv(fd.get(), buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  return answer;
}

int PostTimeStampQuery(uint16_t port, const std::string& path, const std::string& query, std::string* reply) {
  return ParseHttpResponse(SendHttpRequest(port, "POST " + path +
                                                     " HTTP/1.0\r\nContent-Type: application/timestamp-query\r\n"
                                                     "Content-Length: " +
                                                     std::to_string(query.size()) + "\r\n\r\n" + query),
                           reply);
}

int ParseHttpResponse(const std::string& response, std::string* body, std::map<std::string, std::string>* headers) {
  std::string rest = response;
  // Skip interim answers (100 Continue).
  while (rest.rfind("HTTP/1.1 100", 0) == 0) {
    size_t end = rest.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    rest = rest.substr(end + 4);
  }
  size_t headEnd = rest.find("\r\n\r\n");
  if (headEnd == std::string::npos || rest.rfind("HTTP/1.", 0) != 0 || rest.size() < 12) return 0;
  int status = std::atoi(rest.substr(9, 3).c_str());
  std::map<std::string, std::string> parsed;
  size_t pos = rest.find("\r\n") + 2;
  while (pos < headEnd) {
    size_t end = rest.find("\r\n", pos);
    std::string line = rest.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) parsed[Lower(TrimSpaces(line.substr(0, colon)))] = TrimSpaces(line.substr(colon + 1));
    pos = end + 2;
  }
  std::string content = rest.substr(headEnd + 4);
  if (auto it = parsed.find("content-length"); it != parsed.end()) {
    size_t length = std::strtoull(it->second.c_str(), nullptr, 10);
    if (content.size() < length) return 0;  // cut short
    content.resize(length);
  }
  if (body) *body = content;
  if (headers) *headers = parsed;
  return status;
}

}  // namespace testsupport
