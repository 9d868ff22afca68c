// The local HTTP server stands in for a time-stamp authority and a CRL
// distribution point; tests of failures rely on its failure switches and its
// limits, so those are pinned here together with a real time stamp.

#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace testsupport {
namespace {
namespace fs = std::filesystem;
using Mode = LocalHttpServer::Mode;

std::string Get(const LocalHttpServer& server, const std::string& path, const std::string& version = "HTTP/1.1") {
  return SendHttpRequest(server.Port(), "GET " + path + " " + version + "\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string Post(const LocalHttpServer& server, const std::string& path, const std::string& type,
                 const std::string& body) {
  return SendHttpRequest(server.Port(), "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
                                            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                            body);
}

TEST(LocalHttpServer, ServesRegisteredBytes) {
  const TestPki& pki = TestPki::Shared();
  LocalHttpServer server;
  server.ServeFile("/ca.crl", pki.CrlDer());
  server.Serve("/text", "hello", "text/plain");
  EXPECT_EQ("http://127.0.0.1:" + std::to_string(server.Port()) + "/ca.crl", server.Url("/ca.crl"));

  struct Case {
    std::string path;
    std::string version;
    int status;
    std::string body;
    std::string contentType;
  };
  const Case cases[] = {
      {"/ca.crl", "HTTP/1.1", 200, ReadFileBytes(pki.CrlDer()), "application/pkix-crl"},
      {"/ca.crl?x=1", "HTTP/1.0", 200, ReadFileBytes(pki.CrlDer()), "application/pkix-crl"},
      {"/text", "HTTP/1.0", 200, "hello", "text/plain"},
      {"/missing", "HTTP/1.1", 404, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.version);
    std::string raw = Get(server, c.path, c.version);
    std::string body;
    std::map<std::string, std::string> headers;
    EXPECT_EQ(c.status, ParseHttpResponse(raw, &body, &headers)) << raw;
    EXPECT_EQ(0u, raw.find(c.version + " ")) << "answers in the request's version";
    EXPECT_EQ(c.body, body);
    EXPECT_EQ(c.contentType, headers["content-type"]);
    EXPECT_EQ("close", headers["connection"]);
  }
  // Registering again replaces.
  server.Serve("/text", "bye", "text/plain");
  std::string body;
  EXPECT_EQ(200, ParseHttpResponse(Get(server, "/text"), &body));
  EXPECT_EQ("bye", body);

  EXPECT_EQ(2, server.Count("/ca.crl"));
  EXPECT_EQ(2, server.Count("/text"));
  EXPECT_EQ(1, server.Count("/missing"));
  EXPECT_EQ(5, server.Connections());
  EXPECT_EQ(404, server.Requests()[3].status);
}

TEST(LocalHttpServer, TimeStampAnswerVerifiesWithOpenssl) {
  const TestPki& pki = TestPki::Shared();
  TempRoot root;
  LocalHttpServer server;
  server.EnableTimeStamping(pki);
  const fs::path data = root.WriteFile("data.txt", "данные для штампа времени");

  struct Case {
    const char* digest;
    bool askCertificates;
  };
  for (const Case& c : {Case{"-md_gost12_256", true}, Case{"-md_gost12_512", false}}) {
    SCOPED_TRACE(c.digest);
    const fs::path query = root.path() / "query.tsq";
    std::vector<std::string> args = {"ts", "-query", "-data", data.string(), c.digest, "-out", query.string()};
    if (c.askCertificates) args.push_back("-cert");
    ASSERT_EQ(0, RunOpenssl(args));

    std::string body;
    std::map<std::string, std::string> headers;
    ASSERT_EQ(200, ParseHttpResponse(Post(server, "/tsa", "application/timestamp-query", ReadFileBytes(query)), &body,
                                     &headers));
    EXPECT_EQ("application/timestamp-reply", headers["content-type"]);
    const fs::path reply = root.WriteFile("reply.tsr", body);

    std::string text;
    ASSERT_EQ(0, RunOpenssl({"ts", "-reply", "-in", reply.string(), "-text"}, &text));
    EXPECT_NE(std::string::npos, text.find("Status: Granted.")) << text;
    EXPECT_NE(std::string::npos, text.find(std::string("Policy OID: ") + LocalHttpServer::kTsaPolicy)) << text;

    // Without certificates in the token the verifier is handed the TSA's own.
    std::vector<std::string> verify = {"ts", "-verify", "-data", data.string(), "-in", reply.string(),
                                       "-CAfile", pki.Cert("ca").string()};
    if (!c.askCertificates) verify.insert(verify.end(), {"-untrusted", pki.Cert("tsa").string()});
    std::string out;
    EXPECT_EQ(0, RunOpenssl(verify, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Verification: OK")) << out;
  }
  EXPECT_EQ(2, server.Count("/tsa"));
  EXPECT_EQ("application/timestamp-query", server.Requests()[0].headers["content-type"]);

  // Only time-stamp queries, only by POST; an unreadable query is rejected
  // inside a well-formed answer, as an authority does.
  EXPECT_EQ(415, ParseHttpResponse(Post(server, "/tsa", "text/plain", "x")));
  EXPECT_EQ(405, ParseHttpResponse(Get(server, "/tsa")));
  std::string body;
  ASSERT_EQ(200, ParseHttpResponse(Post(server, "/tsa", "application/timestamp-query", "not a query"), &body));
  const fs::path reply = root.WriteFile("rejected.tsr", body);
  std::string text;
  ASSERT_EQ(0, RunOpenssl({"ts", "-reply", "-in", reply.string(), "-text"}, &text));
  EXPECT_NE(std::string::npos, text.find("Status: Rejected.")) << text;
}

// The forger's authority: the imprint's bytes kept, its digest renamed.
TEST(LocalHttpServer, AuthorityCanStampUnderAnotherDigestName) {
  const TestPki& pki = TestPki::Shared();
  TempRoot root;
  LocalHttpServer server;
  server.EnableTimeStamping(pki, "/sha256", "2.16.840.1.101.3.4.2.1");
  const fs::path data = root.WriteFile("data.txt", "данные для штампа времени");
  const fs::path query = root.path() / "query.tsq";
  ASSERT_EQ(0, RunOpenssl({"ts", "-query", "-data", data.string(), "-md_gost12_256", "-cert", "-out", query.string()}));
  std::string asked;
  ASSERT_EQ(0, RunOpenssl({"ts", "-query", "-in", query.string(), "-text"}, &asked));
  std::string body;
  ASSERT_EQ(200, ParseHttpResponse(Post(server, "/sha256", "application/timestamp-query", ReadFileBytes(query)), &body));
  const fs::path reply = root.WriteFile("reply.tsr", body);
  std::string text;
  ASSERT_EQ(0, RunOpenssl({"ts", "-reply", "-in", reply.string(), "-text"}, &text));
  EXPECT_NE(std::string::npos, text.find("Status: Granted.")) << text;
  EXPECT_NE(std::string::npos, text.find("Hash Algorithm: sha256")) << text;
  const size_t at = asked.find("Message data:");
  ASSERT_NE(std::string::npos, at) << asked;
  const std::string bytes = asked.substr(at, asked.find("Policy OID:") - at);
  EXPECT_NE(std::string::npos, text.find(bytes)) << text << asked;
}

TEST(LocalHttpServer, FailureSwitches) {
  LocalHttpServer server;
  server.Serve("/ca.crl", "crl");
  server.EnableTimeStamping(TestPki::Shared());

  server.SetMode(Mode::kFail);
  std::string body = "unchanged";
  EXPECT_EQ(500, ParseHttpResponse(Get(server, "/ca.crl"), &body));
  EXPECT_EQ("", body);
  EXPECT_EQ(500, ParseHttpResponse(Post(server, "/tsa", "application/timestamp-query", "q")));

  server.SetMode(Mode::kRefuse);
  EXPECT_EQ("", Get(server, "/ca.crl"));
  EXPECT_EQ("", Post(server, "/tsa", "application/timestamp-query", "q"));

  server.SetMode(Mode::kServe);
  EXPECT_EQ(200, ParseHttpResponse(Get(server, "/ca.crl"), &body));
  EXPECT_EQ("crl", body);

  // Refused connections are accepted but never read, so they are not requests.
  EXPECT_EQ(5, server.Connections());
  EXPECT_EQ(2, server.Count("/ca.crl"));
  EXPECT_EQ(1, server.Count("/tsa"));
}

TEST(LocalHttpServer, BadAndOversizedRequestsAreBounded) {
  LocalHttpServer server;
  server.Serve("/a", "a");
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const std::string big(LocalHttpServer::kMaxRequest + 1, 'x');
  const Case cases[] = {
      {"declared body too large", "POST /a HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", 413},
      {"head never ends", "GET /a HTTP/1.1\r\nX: " + big, 413},
      {"body sent too large", "POST /a HTTP/1.1\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big, 413},
      {"chunked body", "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 411},
      {"bad content length", "POST /a HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
      {"not HTTP", "HELLO\r\n\r\n", 400},
      {"unknown version", "GET /a HTTP/2.0\r\n\r\n", 400},
      {"unknown method", "PUT /b HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 501},
      {"wrong method", "DELETE /a HTTP/1.1\r\n\r\n", 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.status, ParseHttpResponse(SendHttpRequest(server.Port(), c.request)));
  }
  // A body announced with Expect: 100-continue is invited, then answered.
  std::string raw = SendHttpRequest(server.Port(), "GET /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(0u, raw.find("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n")) << raw;
  EXPECT_EQ("abc", server.Requests().back().body);
}

// A client that connects and never sends must not hold the server: it is
// dropped after the time-out and the next client is served.
TEST(LocalHttpServer, SilentConnectionTimesOut) {
  LocalHttpServer server;
  server.Serve("/a", "a");
  server.SetTimeout(std::chrono::milliseconds(200));

  int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(server.Port());
  ASSERT_EQ(0, connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(1, write(silent, "G", 1));

  EXPECT_EQ(200, ParseHttpResponse(Get(server, "/a")));
  char c;
  ssize_t n = read(silent, &c, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << "the silent connection is closed unanswered";
  close(silent);
  EXPECT_EQ(2, server.Connections());
  EXPECT_EQ(1, server.Count("/a"));
}

TEST(LocalHttpServer, ServesClientsInParallelThreads) {
  LocalHttpServer server;
  server.Serve("/a", std::string(100000, 'a'));
  constexpr int kThreads = 8;
  std::vector<int> statuses(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      std::string body;
      statuses[i] = ParseHttpResponse(Get(server, "/a"), &body) == 200 && body.size() == 100000 ? 200 : 0;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(kThreads, 200), statuses);
  EXPECT_EQ(kThreads, server.Count("/a"));
}

// Stopping does not wait for a client that never finishes its request.
TEST(LocalHttpServer, StopsWithAConnectionOpen) {
  int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  {
    LocalHttpServer server;
    server.SetTimeout(std::chrono::hours(1));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.Port());
    ASSERT_EQ(0, connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(1, write(silent, "G", 1));
    // Make sure the server is inside the connection before it is told to stop.
    while (server.Connections() == 0) std::this_thread::yield();
  }
  // Closed, in an orderly way or by a reset when the "G" was still unread.
  char c;
  ssize_t n = read(silent, &c, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << errno;
  close(silent);
}

}  // namespace
}  // namespace testsupport
