// An https account trusts the server only through an authority it was given
// and only under the name it was asked for: a certificate that fails either
// stops the account before anything is sent or stored.
#include "caldav/servers.h"
#include "support/bridge.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace calbridge::testing {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";
constexpr double kJanuary10 = 1768003200;  // 2026-01-10 00:00 UTC: where the other client puts events

class CaldavTls : public ::testing::Test, public BridgeFixture {
 protected:
  // An authority of the test's own, and a key and certificate it signs for
  // `subjectAltName` (in openssl's form). False when openssl fails.
  bool authority(const std::string& name) {
    const std::string at = dataHome() + "/" + name;
    return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    at + ".key", "-out", at + ".pem", "-days", "2", "-subj", "/CN=calbridge test " + name});
  }
  bool certificate(const std::string& name, const std::string& authorityName, const std::string& altName) {
    const std::string at = dataHome() + "/" + name, ca = dataHome() + "/" + authorityName;
    std::ofstream(at + ".ext") << "subjectAltName=" << altName << "\n";
    return openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    at + ".key", "-out", at + ".csr", "-subj", "/CN=" + name}) &&
           openssl({"x509", "-req", "-in", at + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
                    "-out", at + ".pem", "-days", "2", "-extfile", at + ".ext"});
  }
  bool openssl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kOpenssl);
    RunResult r = runProgram(arguments);
    EXPECT_EQ(r.status, 0) << "openssl " << arguments.at(1) << ": " << r.err;
    return r.status == 0;
  }
  std::string pem(const std::string& name) const { return dataHome() + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return dataHome() + "/" + name + ".key"; }
};

TEST_F(CaldavTls, AServerIsTrustedOnlyThroughItsAuthorityAndUnderItsName) {
  if (access(kOpenssl, X_OK) != 0) GTEST_SKIP() << kOpenssl << " is not installed (scripts/setup --dev installs it)";
  ASSERT_TRUE(authority("authority") && authority("stranger"));
  ASSERT_TRUE(certificate("loopback", "authority", "IP:127.0.0.1"));
  ASSERT_TRUE(certificate("elsewhere", "authority", "DNS:calendar.example.org"));
  std::string skip;
  auto named = DavServer::start_tls(pem("loopback"), key("loopback"), pem("authority"), &skip);
  if (!named) GTEST_SKIP() << skip;
  auto misnamed = DavServer::start_tls(pem("elsewhere"), key("elsewhere"), pem("authority"), &skip);
  ASSERT_TRUE(misnamed) << skip;
  named->peer({"put", named->make_calendar("work", "Work"), "a", "Dentist"});
  grantAccess();
  const std::string password = dataHome() + "/password";
  std::ofstream(password) << "#!/bin/sh\necho " << DavServer::kPassword << "\n";
  struct Case {
    const char* name;
    const DavServer* server;
    std::string caFile;  // empty: the system's authorities only
    bool added;
  } cases[] = {
      {"a certificate from an authority not given", named.get(), "", false},
      {"a certificate from another authority", named.get(), pem("stranger"), false},
      {"a certificate for another name", misnamed.get(), pem("authority"), false},
      {"the authority given, under the server's name", named.get(), pem("authority"), true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"source", "add", "--title", c.name, "--caldav", c.server->url(), "--user",
                                       DavServer::kUser, "--password-command", "sh " + password};
    if (!c.caFile.empty()) arguments.insert(arguments.end(), {"--ca-file", c.caFile});
    RunResult added = runStore(arguments);
    EXPECT_EQ(added.status == 0, c.added) << c.name << ": " << added.err;
    if (!c.added) {
      EXPECT_NE(added.err.find("certificate"), std::string::npos) << c.name << ": " << added.err;
    }
    Envelope calendars = request("calendars", "");
    ASSERT_TRUE(calendars.ok()) << calendars.raw.out;
    std::string listed;
    for (const auto& calendar : calendars.data().GetArray()) {
      if (calendar["source"] == c.name) listed = calendar["id"].GetString();
    }
    EXPECT_EQ(!listed.empty(), c.added) << c.name;
    if (listed.empty()) continue;
    rapidjson::Document events = eventsIn(listed, kJanuary10 - 86400, kJanuary10 + 2 * 86400);
    ASSERT_TRUE(events.IsArray() && events.Size() == 1) << c.name;
    EXPECT_EQ(std::string(events[0]["title"].GetString()), "Dentist") << c.name;
  }
}

}  // namespace
}  // namespace calbridge::testing
