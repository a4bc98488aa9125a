// The page bridge against real clients on 127.0.0.1: a Python page (urllib,
// json and zlib as the oracle of the method hash) makes the calls, and curl
// sends the attacks and fetches the static files. The server is pumped on the
// test's thread, as the program pumps it on its main thread.
#include "skin/pagebridge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/bridge/coreinterop.h"
#include "core/bridge/interop.h"
#include "core/net/asyncsocket.h"
#include "core/net/webserv.h"
#include "core/platform/eventqueue.h"
#include "core/platform/ioworker.h"
#include "core/platform/meter.h"
#include "core/platform/notification.h"
#include "core/platform/thread.h"
#include "core/runtime/mime.h"
#include "skin/pagechannel.h"
#include "skin/staticfiles.h"
#include "tests/fd_stream.h"
#include "tests/log_capture.h"
#include "tests/peer_record.h"
#include "tests/pumped_peer.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"
#include "tests/webserver_fixture.h"

namespace {

// The page: each call as the browser's bridge.js makes it, the first one
// trading its ticket for the token; prints "OK" or the first difference.
// argv: port, ticket.
constexpr const char *kPage = R"(import json
import sys
import urllib.request
import zlib

port, ticket = sys.argv[1], sys.argv[2]
token = None


def call(name, body):
    headers = {'Content-Type': 'application/json'}
    if token:
        headers['X-Keelson-Token'] = token
    request = urllib.request.Request(
        'http://127.0.0.1:%s/instances/%s' % (port, name), data=json.dumps(body).encode(),
        headers=headers, method='POST')
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.headers['Cache-Control'] == 'no-store', answer.headers
        assert answer.headers['X-Content-Type-Options'] == 'nosniff', answer.headers
        text = answer.read()
        return json.loads(text) if text else None


def expect(what, got, wanted):
    if got != wanted:
        print('%s: got %r, wanted %r' % (what, got, wanted))
        sys.exit(1)


token = call('session', {'ticket': ticket})['token']
expect('token', (len(token), token != ticket), (32, True))
made = call('createInstance', {'className': 'QVN.NotificationCenter'})
expect('created', made['returnValue'], True)
center = made['instanceId']
expect('id', len(center), 32)
again = call('createInstance', {'className': 'QVN.NotificationCenter', 'instanceId': center})
expect('known id', (again['returnValue'], again['instanceId']), (True, center))
expect('unknown class', call('createInstance', {'className': 'QVN.Nothing'})['returnValue'], False)
for text in ['fire', 'setActive', 'Fire', '', 'x' * 119, 'x' * 300, 'caf\u00e9']:
    wanted = zlib.crc32(text.encode()[:119])
    expect('hash ' + text[:8], call('hash', {'text': text})['returnValue'], wanted)
observe = {'method': 'addObserver', 'type': 'Test', 'notification': 'Ping', 'callbackId': 'p1'}
expect('observe', call('invoke', {'instanceId': center, 'methodBinding': json.dumps(observe)}),
       {'returnValue': True})
fire = {'method': 'fire', 'type': 'Test', 'notification': 'Ping', 'sender': 'Global',
        'info': '{"n":7}'}
expect('fire', call('invoke', {'instanceId': center, 'methodBinding': json.dumps(fire)}),
       {'returnValue': True})
records = []
for attempt in range(200):
    answer = call('callbacks', {})
    for batch in answer['batches']:
        records += batch
    if records:
        break
expect('records', [(r['callbackId'], r['info']) for r in records], [('p1', {'n': 7})])
expect('unknown id', call('invoke', {'instanceId': 'f' * 32, 'methodBinding': '{}'}), None)
expect('has', call('hasInstance', {'instanceId': center})['returnValue'], True)
for i in range(2):
    expect('release', call('releaseInstance', {'instanceId': center})['returnValue'], True)
gone = False
for attempt in range(200):
    if not call('hasInstance', {'instanceId': center})['returnValue']:
        gone = True
        break
expect('gone after release', gone, True)
expect('release again', call('releaseInstance', {'instanceId': center})['returnValue'], False)
print('OK')
)";

void writeFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

class PageBridgeTest : public WebServerFixture {
 protected:
  PageBridge *bridge = nullptr;
  StaticFiles *files = nullptr;

  void SetUp() override {
    WebServerFixture::SetUp();
    NotificationCenter_Init();
    Interop_Init();
    Interop_SetDeliveryFunction(SkinWindow_DeliverInteropCallbacks);
    ASSERT_NE(CoreInterop_AddLibrary(), nullptr);
    mkdir((www + "/sub").c_str(), 0755);
    writeFile(www + "/index.html", "<p>page</p>");
    writeFile(www + "/sub/data.json", "{\"a\":1}");
    writeFile(scratch + "/secret", "outside");
    symlink("/etc/passwd", (www + "/passwd").c_str());
    symlink((scratch + "/secret").c_str(), (www + "/secret").c_str());
    symlink("sub/data.json", (www + "/inside.json").c_str());
    writeFile(scratch + "/page.py", kPage);
    PageBridge_Create(&bridge);
    ASSERT_TRUE(StaticFiles_Create(&files, www.c_str()));
    PageBridge_SetStaticFiles(bridge, files);
    WebServer_AddPort(server, 0);
    WebServer_EnableKeepAlive(server);
    WebServer_SetDefaultDocument(server, kStaticFilesIndex);
    PageBridge_Attach(bridge, server);
    Listen();
  }
  void TearDown() override {
    ReleaseServer();
    Interop_RemoveAllInstances();
    PageBridge_Release(&bridge);
    StaticFiles_Release(&files);
    Interop_Shutdown();
    NotificationCenter_Shutdown();
    WebServerFixture::TearDown();
  }

  void PumpOnce() override {
    WebServer_Poll(server);
    EventQueue_Flush(EventQueue_GetMain());
    Interop_Pump();  // the program's loop pumps the bridge on every pass
    Thread_Yield();
  }

  // curl's answer header block (-D -) and body, for path with extra options.
  std::string Curl(const std::string &path, const std::string &options) {
    return Peer("curl -s -D - --max-time 10 " + options + " http://127.0.0.1:" +
                std::to_string(port) + path);
  }

  std::string Ticket(double seconds = kPageBridgeTicketSeconds) {
    char ticket[kPageBridgeTokenTextBytes];
    PageBridge_IssueTicket(bridge, seconds, ticket, int(sizeof ticket));
    return ticket;
  }

  // The answer to a trade of ticket (curl's header block and body).
  std::string Trade(const std::string &ticket) {
    return Curl("/instances/session", "-H 'Content-Type: application/json' --data-raw "
                                      "'{\"ticket\":\"" + ticket + "\"}'");
  }

  // The token, traded for a fresh ticket as the page trades it.
  std::string Token() {
    std::string answer = Trade(Ticket());
    size_t at = answer.find("{\"token\":\"");
    return at == std::string::npos ? "" : answer.substr(at + 10, 32);
  }
};

std::string statusOf(const std::string &answer) {
  size_t at = answer.find("HTTP/1.1 ");
  return at == std::string::npos ? "" : answer.substr(at + 9, 3);
}

bool hasHeader(const std::string &answer, const std::string &line) {
  return answer.find(line + "\r\n") != std::string::npos;
}

}  // namespace

TEST(PageBridgeDeathTest, TicketIntoTooSmallBufferStops) {
  PageBridge *bridge = nullptr;
  PageBridge_Create(&bridge);
  char ticket[kPageBridgeTokenTextBytes - 1];
  EXPECT_DEATH(PageBridge_IssueTicket(bridge, 1, ticket, int(sizeof ticket)),
               "Ticket buffer too small");
  PageBridge_Release(&bridge);
}

TEST_F(PageBridgeTest, PageMakesEveryCall) {
  std::string ticket = Ticket();
  ASSERT_EQ(ticket.size(), 32u);
  EXPECT_EQ(ticket.find_first_not_of("0123456789abcdef"), std::string::npos);
  int status = -1;
  std::string out = Peer("/usr/bin/python3 " + scratch + "/page.py " + std::to_string(port) +
                             " " + ticket,
                         &status);
  EXPECT_EQ(out, "OK\n");
  EXPECT_EQ(status, 0);
}

TEST_F(PageBridgeTest, RefusedCallsMakeNothing) {
  const std::string token = Token();
  const std::string wrong(32, token[0] == 'a' ? 'b' : 'a');
  const std::string create = "/instances/createInstance";
  const std::string body = " --data-raw '{\"className\":\"QVN.NotificationCenter\"}'";
  const std::string json = " -H 'Content-Type: application/json'";
  const std::string right = " -H 'X-Keelson-Token: " + token + "'";
  writeFile(scratch + "/big.json",
            "{\"className\":\"QVN.NotificationCenter\",\"pad\":\"" +
                std::string(size_t(kPageBridgeMaxBodyBytes), 'x') + "\"}");
  struct Case {
    std::string what, path, options, status;
  } cases[] = {
      {"no token", create, json + body, "403"},
      {"wrong token", create, json + " -H 'X-Keelson-Token: " + wrong + "'" + body, "403"},
      {"token and more", create, json + " -H 'X-Keelson-Token: " + token + "0'" + body, "403"},
      {"text/plain", create, right + " -H 'Content-Type: text/plain'" + body, "403"},
      {"GET", create, right + json + " -G" + body, "403"},
      {"OPTIONS", create,
       right + json + " -X OPTIONS -H 'Origin: http://127.0.0.1:" + std::to_string(port) +
           "' -H 'Access-Control-Request-Method: POST'",
       "403"},
      {"foreign Host", create,
       right + json + " -H 'Host: evil.test:" + std::to_string(port) + "'" + body, "403"},
      {"foreign Origin", create, right + json + " -H 'Origin: http://evil.test'" + body, "403"},
      // Only 127.0.0.1 is bound: "localhost" may be another user's ::1.
      {"Host localhost", create,
       right + json + " -H 'Host: localhost:" + std::to_string(port) + "'" + body, "403"},
      {"Origin localhost", create,
       right + json + " -H 'Origin: http://localhost:" + std::to_string(port) + "'" + body,
       "403"},
      {"over 1 MiB", create, right + json + " --data-binary @" + scratch + "/big.json", "400"},
      {"an array", create, right + json + " --data-raw '[{\"className\":\"x\"}]'", "400"},
      {"two objects", create, right + json + " --data-raw '{} {}'", "400"},
      {"text after the object", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\"} garbage'", "400"},
      {"a second object", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\"}{\"a\":1}'",
       "400"},
      {"a trailing comma", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\",}'", "400"},
      {"a comma in a nested array", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\",\"a\":[1,]}'",
       "400"},
      {"two commas", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\",,\"a\":1}'",
       "400"},
      {"an unclosed object", create,
       right + json + " --data-raw '{\"className\":\"QVN.NotificationCenter\"'", "400"},
      {"not JSON", create, right + json + " --data-raw 'className=QVN.NotificationCenter'",
       "400"},
      {"no body", create, right + json + " -X POST", "400"},
      {"class name a number", create, right + json + " --data-raw '{\"className\":7}'", "400"},
      {"unknown call", "/instances/createInstances", right + json + body, "404"},
      {"bare prefix", "/instances/", right + json + body, "404"},
  };
  TestLogCapture capture;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string answer = Curl(c.path, c.options);
    EXPECT_EQ(statusOf(answer), c.status) << answer;
    EXPECT_EQ(answer.find("Access-Control-Allow"), std::string::npos);
    EXPECT_EQ(Interop_CountContextInstances(PageBridge_GetChannel(bridge)), 0);
  }
  // Each refusal of ours is one line that names the reason, never the token.
  std::string log = capture.Take();
  EXPECT_NE(log.find("Page bridge refused POST /instances/createInstance (wrong token)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("(not JSON)"), std::string::npos);
  EXPECT_NE(log.find("Page bridge refused OPTIONS"), std::string::npos);
  EXPECT_EQ(log.find(token), std::string::npos);
  // The right call still works afterwards, on its own connection; white
  // space around the object is no fault.
  writeFile(scratch + "/spaced.json",
            " \t{\"className\": \"QVN.NotificationCenter\", \"n\": [1, -0.5e+3, true, null],"
            " \"s\": \"\\u00e9\\n\"}\r\n");
  std::string made = Curl(create, right + json + " --data-binary @" + scratch + "/spaced.json");
  EXPECT_EQ(statusOf(made), "200") << made;
  EXPECT_TRUE(hasHeader(made, "Cache-Control: no-store"));
  EXPECT_TRUE(hasHeader(made, "X-Content-Type-Options: nosniff"));
  EXPECT_EQ(Interop_CountContextInstances(PageBridge_GetChannel(bridge)), 1);
}

// The reader keeps the first of two equal keys and takes any bytes, so a
// body that names a key twice or is not UTF-8 text is refused, at any depth;
// a surrogate pair, escaped or raw, is text.
TEST_F(PageBridgeTest, BodiesThatAreNotOneMeaningAreRefused) {
  const std::string options = " -H 'Content-Type: application/json' -H 'X-Keelson-Token: " +
                              Token() + "' --data-binary @" + scratch + "/body.json";
  const std::string head = "{\"className\":\"QVN.NotificationCenter\",";
  struct Case {
    const char *what;
    std::string body;
    const char *status;
  } cases[] = {
      {"a duplicate key", head + "\"a\":1,\"a\":2}", "400"},
      {"the class name twice", head + "\"className\":\"x\"}", "400"},
      {"a duplicate key, escaped", head + "\"a\":1,\"\\u0061\":2}", "400"},
      {"a duplicate key, nested", head + "\"o\":[{\"b\":{\"c\":1,\"c\":1}}]}", "400"},
      {"an overlong form", head + "\"s\":\"\xC0\xAF\"}", "400"},
      {"an overlong three-byte form", head + "\"s\":\"\xE0\x80\xAF\"}", "400"},
      {"an encoded surrogate", head + "\"s\":\"\xED\xA0\x80\"}", "400"},
      {"above U+10FFFF", head + "\"s\":\"\xF4\x90\x80\x80\"}", "400"},
      {"a cut sequence", head + "\"s\":\"\xE2\x82\"}", "400"},
      {"a lone continuation byte", head + "\"s\":\"\x80\"}", "400"},
      {"not UTF-8 in a key", head + "\"\xFF\":1}", "400"},
      {"a lone high surrogate", head + "\"s\":\"\\ud800\"}", "400"},
      {"a high surrogate, then a letter", head + "\"s\":\"\\ud800\\u0041\"}", "400"},
      {"two high surrogates", head + "\"s\":\"\\ud83d\\ud83d\"}", "400"},
      {"a lone low surrogate", head + "\"s\":\"\\ude00\"}", "400"},
      {"a pair, reversed", head + "\"s\":\"\\ude00\\ud83d\"}", "400"},
      {"an escaped pair", head + "\"s\":\"\\ud83d\\ude00\"}", "200"},
      {"a raw pair and accents",
       head + "\"s\":\"\xF0\x9F\x98\x80 \xC3\xA9\xE2\x82\xAC\"}", "200"},
      {"one key in two objects",
       head + "\"o\":{\"a\":1},\"p\":{\"a\":1},\"a\":[{\"a\":1}]}", "200"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(scratch + "/body.json", c.body);
    std::string answer = Curl("/instances/createInstance", options);
    EXPECT_EQ(statusOf(answer), c.status) << answer;
  }
}

// A ticket buys the token once, only while it is fresh and the newest one;
// every refusal is logged with its reason, never with a ticket or the token.
TEST_F(PageBridgeTest, TicketIsTradedOnceWhileFresh) {
  TestLogCapture capture;
  EXPECT_EQ(statusOf(Trade(std::string(32, 'a'))), "403");  // none issued yet
  std::string first = Ticket();
  std::string wrong(32, first[0] == 'a' ? 'b' : 'a');
  struct Step {
    std::string what, ticket, status;
  } steps[] = {
      {"a wrong ticket", wrong, "403"},
      {"the ticket and more", first + "0", "403"},
      {"the ticket", first, "200"},
      {"the ticket again", first, "403"},
  };
  std::string token;
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    std::string answer = Trade(step.ticket);
    EXPECT_EQ(statusOf(answer), step.status) << answer;
    EXPECT_TRUE(hasHeader(answer, "Cache-Control: no-store"));
    if (step.status == "200") token = answer.substr(answer.find("{\"token\":\"") + 10, 32);
  }
  ASSERT_EQ(token.size(), 32u);
  EXPECT_NE(token, first);
  std::string call = "-H 'Content-Type: application/json' --data-raw "
                     "'{\"className\":\"QVN.NotificationCenter\"}' -H 'X-Keelson-Token: ";
  EXPECT_EQ(statusOf(Curl("/instances/createInstance", call + first + "'")), "403");
  EXPECT_EQ(statusOf(Curl("/instances/createInstance", call + token + "'")), "200");
  // A ticket past its time, and one replaced by a newer one, buy nothing; the
  // newest buys the same token.
  std::string stale = Ticket(0);
  EXPECT_EQ(statusOf(Trade(stale)), "403");
  std::string replaced = Ticket();
  std::string newest = Ticket();
  EXPECT_EQ(statusOf(Trade(replaced)), "403");
  std::string again = Trade(newest);
  EXPECT_EQ(statusOf(again), "200");
  EXPECT_NE(again.find(token), std::string::npos);
  // The trade is a call like the others: JSON POSTs of one object only.
  std::string fresh = Ticket();
  std::string body = "'{\"ticket\":\"" + fresh + "\"}'";
  EXPECT_EQ(statusOf(Curl("/instances/session", "-H 'Content-Type: text/plain' --data-raw " +
                                                    body)),
            "403");
  EXPECT_EQ(statusOf(Curl("/instances/session",
                          "-H 'Content-Type: application/json' --data-raw '{\"ticket\":\"" +
                              fresh + "\"} x'")),
            "400");
  std::string log = capture.Take();
  for (const char *reason : {"no ticket was issued", "wrong ticket",
                             "the ticket was traded already", "the ticket expired"})
    EXPECT_NE(log.find(std::string("Page bridge refused a session (") + reason + ")"),
              std::string::npos)
        << reason << "\n" << log;
  for (const std::string &secret : {token, first, stale, replaced, newest, fresh})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  // The terminal gets the first refusal at once, the five after it as one
  // count once the interval is over (here: flushed).
  char notice[kPageBridgeNoticeBytes];
  ASSERT_EQ(PageBridge_TakeNotice(bridge, 3600, 0, notice, int(sizeof notice)), 1);
  EXPECT_STREQ(notice, "refused the page's ticket trade: no ticket was issued");
  EXPECT_EQ(PageBridge_TakeNotice(bridge, 3600, 0, notice, int(sizeof notice)), 0);
  ASSERT_EQ(PageBridge_TakeNotice(bridge, 3600, 1, notice, int(sizeof notice)), 1);
  EXPECT_EQ(std::string(notice).rfind("refused 5 more ticket trades in ", 0), 0u) << notice;
  EXPECT_NE(std::string(notice).find("(the last: wrong ticket)"), std::string::npos) << notice;
  EXPECT_EQ(PageBridge_TakeNotice(bridge, 3600, 1, notice, int(sizeof notice)), 0);
}

// A file larger than the socket's buffers goes out whole, and the next
// answer on the kept connection follows it, never passes it: two large
// files and a small one in order on one connection.
TEST_F(PageBridgeTest, FilesGoOutWholeAndInOrderOnAKeptConnection) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = char('a' + (i * 7 + i / 4096) % 26);
  writeFile(www + "/big.bin", big);
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  std::string out = scratch + "/got";
  std::string answer = Peer(
      "curl -s --max-time 20 -H 'Connection: Keep-Alive' -w '%{num_connects} %{size_download}\\n' " +
      url + "/big.bin -o " + out + "1 " + url + "/big.bin -o " + out + "2 " + url +
      "/index.html -o " + out + "3");
  EXPECT_EQ(answer, "1 3145728\n0 3145728\n0 11\n") << "one connection for the three";
  EXPECT_TRUE(Peer_ReadFile(out + "1") == big);
  EXPECT_TRUE(Peer_ReadFile(out + "2") == big);
  EXPECT_EQ(Peer_ReadFile(out + "3"), "<p>page</p>");
}

TEST_F(PageBridgeTest, StaticFilesStayInTheirDirectory) {
  struct Case {
    std::string path, options, status, type;
  } cases[] = {
      {"/index.html", "", "200", "text/html"},
      {"/", "", "200", "text/html"},
      {"/sub/data.json", "", "200", "application/json"},
      {"/inside.json", "", "200", "application/json"},
      {"/sub/data.json", "-I", "200", "application/json"},
      {"/sub/data.json", "-H 'Range: bytes=0-1'", "200", "application/json"},
      {"/passwd", "", "404", ""},
      {"/secret", "", "404", ""},
      {"/sub", "", "404", ""},
      {"/sub/", "", "404", ""},
      {"/missing.html", "", "404", ""},
      {"/index.html", "-X POST --data-raw x", "405", ""},
      {"/../secret", "--path-as-is", "400", ""},
      {"/sub/%2e%2e/%2e%2e/secret", "--path-as-is", "400", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path + " " + c.options);
    std::string answer = Curl(c.path, c.options);
    EXPECT_EQ(statusOf(answer), c.status) << answer;
    EXPECT_EQ(answer.find("root:"), std::string::npos);
    EXPECT_EQ(answer.find("outside"), std::string::npos);
    if (c.status == "200") {
      EXPECT_TRUE(hasHeader(answer, "Content-Type: " + c.type)) << answer;
      EXPECT_TRUE(hasHeader(answer, "X-Content-Type-Options: nosniff"));
      EXPECT_TRUE(hasHeader(answer, "Accept-Ranges: none"));
      if (c.options.empty() || c.options[1] == 'H') {
        EXPECT_NE(answer.find(c.type == "text/html" ? "<p>page</p>" : "{\"a\":1}"),
                  std::string::npos);
      }
    }
  }
}
