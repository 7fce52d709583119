// The CalDAV pieces that need no server: command splitting, the password
// command, the XML reader against each server's dialect, and how strictly
// write answers are read, over a scripted transport.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <deque>

#include "caldav/client.h"
#include "caldav/password_command.h"
#include "caldav/xml.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
namespace calbridge::caldav {
namespace {

using Words = std::optional<std::vector<std::string>>;

TEST(CaldavSplitCommand, SplitsAsAShellQuotes) {
  struct Case {
    const char* line;
    Words words;
  } cases[] = {
      {"pass show dav", std::vector<std::string>{"pass", "show", "dav"}},
      {"  secret-tool\tlookup  user 'a b' ", std::vector<std::string>{"secret-tool", "lookup", "user", "a b"}},
      {"echo \"x \\\"y\\\" \\$HOME \\n\"", std::vector<std::string>{"echo", "x \"y\" $HOME \\n"}},
      {"a\\ b c\\'d", std::vector<std::string>{"a b", "c'd"}},
      {"'it'\"'\"'s' ''", std::vector<std::string>{"it's", ""}},
      {"echo $HOME ~ *;|", std::vector<std::string>{"echo", "$HOME", "~", "*;|"}},
      {"a\\\nb", std::vector<std::string>{"ab"}},
      {"'unclosed", std::nullopt},
      {"\"unclosed", std::nullopt},
      {"trailing\\", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(split_command(c.line), c.words) << c.line;
}

TEST(CaldavPasswordCommand, FirstLineOfASuccessfulCommandOnly) {
  struct Case {
    const char* line;
    int timeout_ms;
    bool ok;
    const char* password_or_error;
  } cases[] = {
      {"printf 'pw one\\r\\nsecond\\n'", 5000, true, "pw one"},
      {"echo $HOME", 5000, true, "$HOME"},
      {"sh -c 'echo leaked; exit 3'", 5000, false, "status 3"},
      {"true", 5000, false, "printed nothing"},
      {"sleep 10", 200, false, "in time"},
      {"/nonexistent/program", 5000, false, "cannot start"},
      {"'", 5000, false, "unclosed"},
      // Done once it exits, though a child it left holds the output open.
      {"sh -c 'echo pw; sleep 60 & echo $! >/tmp/calbridge-test-lingering.pid'", 10000, true, "pw"},
      // A NUL would cut the password short where it is handed on.
      {"printf '\\000pw\\n'", 5000, false, "NUL"},
      {"printf 'p\\000w\\n'", 5000, false, "NUL"},
      {"printf '\\nsecond line\\n'", 5000, false, "empty"},
  };
  for (const auto& c : cases) {
    PasswordResult r = run_password_command(c.line, std::chrono::milliseconds(c.timeout_ms));
    EXPECT_EQ(r.ok, c.ok) << c.line;
    if (c.ok)
      EXPECT_EQ(r.password, c.password_or_error) << c.line;
    else
      EXPECT_NE(r.error.find(c.password_or_error), std::string::npos) << c.line << ": " << r.error;
  }
  pid_t lingering = 0;
  std::ifstream("/tmp/calbridge-test-lingering.pid") >> lingering;
  if (lingering > 0) kill(lingering, SIGKILL);
  unlink("/tmp/calbridge-test-lingering.pid");
}

TEST(CaldavPasswordCommand, ATokenIsOneThatFitsAHeader) {
  struct Case {
    const char* line;
    const char* token;  // nullptr: refused
  } cases[] = {
      {"echo ya29.a0Af-_~+/xyz==", "ya29.a0Af-_~+/xyz=="},
      {"printf 'tok\\r\\nsecond\\n'", "tok"},
      {"echo 'two words'", nullptr},
      {"printf 'to\\rk\\n'", nullptr},
      {"echo ==", nullptr},
      {"echo tok=en", nullptr},
  };
  for (const auto& c : cases) {
    PasswordResult r = run_token_command(c.line, std::chrono::seconds(5));
    EXPECT_EQ(r.ok, c.token != nullptr) << c.line << ": " << r.error;
    if (c.token) {
      EXPECT_EQ(r.password, c.token) << c.line;
    }
  }
}

std::vector<DavResponse> parse_all(const std::string& body, MultistatusResult* result = nullptr) {
  std::vector<DavResponse> out;
  MultistatusResult r = parse_multistatus(body, [&](DavResponse&& d) { out.push_back(std::move(d)); });
  if (result) *result = r;
  return out;
}

// One reply in each server's dialect, with the same content.
const char* kDefaultNamespace =
    "<?xml version='1.0' encoding='utf-8'?>\n"
    "<multistatus xmlns=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:caldav\"><response><href>/a/c/1.ics</href>"
    "<propstat><prop><getetag>\"e1\"</getetag><C:calendar-data>BEGIN:VCALENDAR\r\nSUMMARY:A &amp; B\r\n"
    "END:VCALENDAR\r\n</C:calendar-data></prop><status>HTTP/1.1 200 OK</status></propstat>"
    "<propstat><prop><C:other/></prop><status>HTTP/1.1 404 Not Found</status></propstat></response>"
    "<response><href>/a/c/2.ics</href><status>HTTP/1.1 404 Not Found</status></response>"
    "<sync-token>http://radicale.org/ns/sync/abc</sync-token></multistatus>";
const char* kPrefixed =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<ns0:multistatus xmlns:ns0=\"DAV:\" xmlns:ns1=\"urn:ietf:params:xml:ns:caldav\">\n  <ns0:response>"
    "<ns0:href>/a/c/1.ics</ns0:href><ns0:propstat><ns0:status>HTTP/1.1 200 OK</ns0:status><ns0:prop>"
    "<ns0:getetag>\"e1\"</ns0:getetag><ns1:calendar-data><![CDATA[BEGIN:VCALENDAR\r\nSUMMARY:A & B\r\n]]>"
    "END:VCALENDAR\r\n</ns1:calendar-data></ns0:prop></ns0:propstat></ns0:response>\n"
    "<ns0:response><ns0:href>/a/c/2.ics</ns0:href><ns0:status>HTTP/1.1 404 Not Found</ns0:status>"
    "</ns0:response><ns0:sync-token>http://radicale.org/ns/sync/abc</ns0:sync-token></ns0:multistatus>";

TEST(CaldavXml, EveryDialectReadsAlike) {
  for (const char* body : {kDefaultNamespace, kPrefixed}) {
    MultistatusResult result;
    auto responses = parse_all(body, &result);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.sync_token, "http://radicale.org/ns/sync/abc");
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].href, "/a/c/1.ics");
    const Property* etag = responses[0].find({kDav, "getetag"});
    const Property* data = responses[0].find({kCaldav, "calendar-data"});
    ASSERT_TRUE(etag && data);
    EXPECT_EQ(etag->text, "\"e1\"");
    // The XML reader's own line-end rule shows: CRLF stays only inside CDATA.
    std::string lines = data->text;
    lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
    EXPECT_EQ(lines, "BEGIN:VCALENDAR\nSUMMARY:A & B\nEND:VCALENDAR\n");
    EXPECT_EQ(responses[0].find({kCaldav, "other"}), nullptr);  // only in a 404 propstat
    EXPECT_EQ(responses[1].status, 404);
  }
}

TEST(CaldavXml, RefusesWhatIsNotAPlainMultistatus) {
  const char* bodies[] = {
      // An entity defined in the document: never expanded, the reply refused.
      "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
      "<multistatus xmlns=\"DAV:\"><response><href>&b;</href></response></multistatus>",
      // An external entity.
      "<?xml version=\"1.0\"?><!DOCTYPE m SYSTEM \"http://127.0.0.1:1/x.dtd\"><multistatus xmlns=\"DAV:\"/>",
      // Right local name, wrong namespace.
      "<multistatus xmlns=\"urn:other\"><response><href>/x</href></response></multistatus>",
      // Cut short.
      "<multistatus xmlns=\"DAV:\"><response><href>/x</href></response><response><hr",
      "",
      "<html><body>Welcome</body></html>",
  };
  for (const char* body : bodies) {
    MultistatusResult result;
    parse_all(body, &result);
    EXPECT_FALSE(result.ok) << body;
  }
}

std::string text_of(const std::string& xml, const char* element) {
  xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
  EXPECT_NE(doc, nullptr) << xml;
  if (doc == nullptr) return {};
  std::string out;
  std::function<void(xmlNodePtr)> walk = [&](xmlNodePtr n) {
    for (; n; n = n->next) {
      if (n->type == XML_ELEMENT_NODE && std::string(reinterpret_cast<const char*>(n->name)) == element) {
        xmlChar* t = xmlNodeGetContent(n);
        out = reinterpret_cast<const char*>(t);
        xmlFree(t);
      }
      walk(n->children);
    }
  };
  walk(xmlDocGetRootElement(doc));
  xmlFreeDoc(doc);
  return out;
}

TEST(CaldavXml, RequestBodiesCarryAnyTextIntact) {
  const std::string awkward = "Tom & Jerry's <\"best\"> ]]> \xC3\xA9";
  EXPECT_EQ(text_of(mkcalendar_body(awkward, "#FF0000"), "displayname"), awkward);
  EXPECT_EQ(text_of(sync_collection_body(awkward, {}), "sync-token"), awkward);
  EXPECT_EQ(text_of(calendar_multiget_body({awkward}, true), "href"), awkward);
  // Characters XML cannot hold at all are left out rather than making the body unreadable.
  EXPECT_EQ(text_of(mkcalendar_body(std::string("a\x01" "b"), ""), "displayname"), "ab");
}

// Answers from a script, in order; records what was asked.
class ScriptedTransport final : public HttpTransport {
 public:
  std::deque<HttpResponse> answers;
  std::vector<HttpRequest> asked;
  HttpResponse send(const HttpRequest& request) override {
    asked.push_back(request);
    if (answers.empty()) {
      HttpResponse none;
      none.failure = TransportFailure::unreachable;
      return none;
    }
    HttpResponse r = answers.front();
    answers.pop_front();
    r.url = request.url;
    return r;
  }
};

HttpResponse answer(long status, std::string body = {}, Headers headers = {}) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

TEST(CaldavWrites, OnlyCreatedOrNoContentWithAnEtagIsStored) {
  const std::string etag_reply =
      "<multistatus xmlns=\"DAV:\"><response><href>/c/x.ics</href><propstat><prop><getetag>\"p\"</getetag>"
      "</prop><status>HTTP/1.1 200 OK</status></propstat></response></multistatus>";
  const std::string wrapped_412 =
      "<ns0:multistatus xmlns:ns0=\"DAV:\"><ns0:response><ns0:href>/c/x.ics</ns0:href><ns0:status>HTTP/1.1 412 "
      "Precondition Failed</ns0:status></ns0:response></ns0:multistatus>";
  const std::string uid_conflict =
      "<D:error xmlns:D=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:caldav\"><C:no-uid-conflict><D:href>/c/y.ics"
      "</D:href></C:no-uid-conflict></D:error>";
  struct Case {
    const char* name;
    std::vector<HttpResponse> answers;
    std::optional<ErrorKind> error;  // nullopt: stored
    const char* etag;
  } cases[] = {
      {"201 with ETag", {answer(201, "", {{"etag", "\"a\""}})}, std::nullopt, "\"a\""},
      {"204, ETag asked for", {answer(204), answer(207, etag_reply)}, std::nullopt, "\"p\""},
      {"201, no ETag anywhere", {answer(201), answer(207, "<multistatus xmlns=\"DAV:\"/>")}, ErrorKind::bad_reply, ""},
      {"200 is not a store", {answer(200, "", {{"etag", "\"a\""}})}, ErrorKind::rejected, ""},
      {"412 in a 207", {answer(207, wrapped_412)}, ErrorKind::precondition_failed, ""},
      {"any other 207", {answer(207, etag_reply)}, ErrorKind::rejected, ""},
      {"412", {answer(412)}, ErrorKind::precondition_failed, ""},
      {"409 no-uid-conflict", {answer(409, uid_conflict)}, ErrorKind::uid_conflict, ""},
      {"409 otherwise", {answer(409, "conflict")}, ErrorKind::rejected, ""},
      {"507", {answer(507)}, ErrorKind::rejected, ""},
      {"401", {answer(401)}, ErrorKind::unauthorized, ""},
      {"no answer", {}, ErrorKind::unreachable, ""},
  };
  for (const auto& c : cases) {
    ScriptedTransport http;
    http.answers.assign(c.answers.begin(), c.answers.end());
    try {
      WriteResult r = put_object(http, "http://127.0.0.1:1/c/x.ics", "BEGIN:VCALENDAR\r\n", "");
      EXPECT_FALSE(c.error) << c.name << ": taken as stored";
      EXPECT_EQ(r.etag, c.etag) << c.name;
    } catch (const Error& e) {
      ASSERT_TRUE(c.error) << c.name << ": " << e.what();
      EXPECT_EQ(e.kind(), *c.error) << c.name << ": " << e.what();
    }
    ASSERT_FALSE(http.asked.empty());
    EXPECT_EQ(http.asked[0].method, "PUT");
    EXPECT_FALSE(http.asked[0].follow_redirects) << "a write never follows a redirect";
  }
}

}  // namespace
}  // namespace calbridge::caldav
