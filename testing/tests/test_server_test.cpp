#include "test_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace veltrox::testing {
namespace {

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(TestServer, RecordsRequestsAndAnswersAsTold) {
  TestServer server([](const RecordedRequest& request) {
    Reply reply;
    reply.status = 201;
    reply.reason = "Created";
    reply.headers = {{"X-Seen", request.method + " " + request.target}};
    reply.body = request.body;
    reply.chunked = request.target == "/chunked";
    return reply;
  });
  EXPECT_EQ(Shell("curl -s -i -d hello " + server.Url("/chunked")).substr(0, 12), "HTTP/1.1 201");
  EXPECT_EQ(Shell("curl -s -d hello -H 'X-A: 1' " + server.Url("/x?q")), "hello");
  ASSERT_TRUE(server.WaitForRequests(2, std::chrono::seconds(5)));
  auto requests = server.Requests();
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].target, "/x?q");
  EXPECT_EQ(requests[1].Header("x-a"), "1");
  EXPECT_EQ(requests[1].body, "hello");
}

TEST(TestServer, ServesHttpsWithItsOwnCertificate) {
  TestServer server(TestServer::Handler([](const RecordedRequest&) {
                      Reply reply;
                      reply.body = "secure";
                      return reply;
                    }),
                    ServerOptions{.tls = true});
  ASSERT_EQ(server.Url("/").substr(0, 8), "https://");
  EXPECT_EQ(Shell("curl -s --cacert " + TestServer::CertificatePath() + " " + server.Url("/")), "secure");
  EXPECT_EQ(Shell("curl -s " + server.Url("/")), "") << "an untrusted certificate must fail";
}

TEST(TestServer, RefusedPortAndCutReplies) {
  TestServer server;
  Reply cut;
  cut.body = std::string(1000, 'x');
  cut.cut = Reply::Cut::MidBody;
  server.SetReply(cut);
  EXPECT_EQ(Shell("curl -s -o /dev/null -w '%{http_code}' " + server.Url("/")), "200");
  server.Refuse();
  EXPECT_EQ(Shell("curl -s -o /dev/null -w '%{http_code}' " + server.Url("/")), "000");
}

}  // namespace
}  // namespace veltrox::testing
