// Which requests reach the reader: the Host they name, and a cross-site
// request without an Origin under an allowlist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/host_rule.h"
#include "http/request.h"
#include "http/response.h"
#include "support/fake_network.h"

namespace talvex {
namespace {

platform::IpAddress Address(const char* text) {
  platform::IpAddress address;
  EXPECT_TRUE(platform::ParseIpAddress(text, &address)) << text;
  return address;
}

TEST(HostRule, OnlyTheServiceItsListenAddressesAndAllowedNamesAreServed) {
  ServiceConfig config(18601);
  for (const char* host :
       {"127.0.0.1", "127.0.0.1:18601", "localhost", "LocalHost:18601", "[::1]", "[::1]:18601"}) {
    EXPECT_TRUE(HostNamesService(config, host)) << host;
  }
  for (const char* host :
       {"rebind.attacker.example:18601", "rebind.attacker.example", "localhost:10012",
        "127.0.0.1:", "localhost.", "127.0.0.2", "::1", "[::1", "[::1]18601", ":18601", "",
        "localhost:18601:18601", "localhost:018601x", "192.168.1.20"}) {
    EXPECT_FALSE(HostNamesService(config, host)) << host;
  }
  // An address the site listens on, and with a wildcard listen any address
  // (an address cannot be rebound); names still need --allow-host.
  config.listen = {Address("192.168.1.20")};
  EXPECT_TRUE(HostNamesService(config, "192.168.1.20:18601"));
  EXPECT_FALSE(HostNamesService(config, "192.168.1.21"));
  config.listen = {Address("::")};
  EXPECT_TRUE(HostNamesService(config, "10.0.0.9:18601"));
  EXPECT_TRUE(HostNamesService(config, "[fe80::1]"));
  EXPECT_FALSE(HostNamesService(config, "kiosk.clinic.example"));
  config.allowHosts = {"kiosk.clinic.example"};
  EXPECT_TRUE(HostNamesService(config, "Kiosk.Clinic.Example:18601"));
  EXPECT_FALSE(HostNamesService(config, "kiosk.clinic.example:80"));
  // No Host at all is a local program's request; two are refused.
  EXPECT_TRUE(HostAllowed(config, 0, ""));
  EXPECT_TRUE(HostAllowed(config, 1, "localhost"));
  EXPECT_FALSE(HostAllowed(config, 2, "localhost"));
}

TEST(HostRule, ReaderKeepsHostAndSecFetchSiteOfARequest) {
  testing::FakeNetwork net;
  RequestState state;
  Request request;
  net.received =
      "GET /readCard HTTP/1.1\r\nhost:  rebind.example:1 \r\nSEC-FETCH-SITE: Cross-Site\r\n\r\n";
  ASSERT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.hostLines, 1);
  EXPECT_EQ(request.host, "rebind.example:1");
  EXPECT_TRUE(request.crossSite);
  net.received =
      "GET /readCard HTTP/1.1\r\nHost: a\r\nHost: b\r\nSec-Fetch-Site: same-site\r\n\r\n";
  ASSERT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.hostLines, 2);
  EXPECT_FALSE(request.crossSite);
  net.received = "GET /readCard HTTP/1.1\r\n\r\n";
  ASSERT_EQ(ReadRequest(net, 5, state, request), kOk);
  EXPECT_EQ(request.hostLines, 0);
}

TEST(HostRule, CrossSiteRequestWithoutOriginIsRefusedOnlyUnderAnAllowlist) {
  const std::vector<std::string> none;
  const std::vector<std::string> list = {"https://his.example"};
  EXPECT_FALSE(AnswerOrigin(none, false, "", true).refused);
  EXPECT_EQ(AnswerOrigin(none, false, "", true).lines, kAnyOriginLine);
  const OriginAnswer refused = AnswerOrigin(list, false, "", true);
  EXPECT_TRUE(refused.refused);
  EXPECT_EQ(refused.lines, std::string(kAnyOriginLine) + "Vary: Origin\r\n");
  EXPECT_FALSE(AnswerOrigin(list, false, "", false).refused);
  EXPECT_FALSE(AnswerOrigin(list, true, "https://his.example", true).refused);
}

}  // namespace
}  // namespace talvex
