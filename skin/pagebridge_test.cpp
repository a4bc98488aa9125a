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
#include "tests/pumped_peer.h"
#include "tests/test_util.h"
#include "tests/wake_hook.h"
#include "tests/webserver_fixture.h"

namespace {

// The page: each call as the browser's bridge.js makes it; prints "OK" or
// the first difference. argv: port, token.
constexpr const char *kPage = R"(import json
import sys
import urllib.request
import zlib

port, token = sys.argv[1], sys.argv[2]


def call(name, body):
    request = urllib.request.Request(
        'http://127.0.0.1:%s/instances/%s' % (port, name), data=json.dumps(body).encode(),
        headers={'Content-Type': 'application/json', 'X-Keelson-Token': token}, method='POST')
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.headers['Cache-Control'] == 'no-store', answer.headers
        assert answer.headers['X-Content-Type-Options'] == 'nosniff', answer.headers
        text = answer.read()
        return json.loads(text) if text else None


def expect(what, got, wanted):
    if got != wanted:
        print('%s: got %r, wanted %r' % (what, got, wanted))
        sys.exit(1)


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

  std::string Token() { return PageBridge_GetToken(bridge); }
};

std::string statusOf(const std::string &answer) {
  size_t at = answer.find("HTTP/1.1 ");
  return at == std::string::npos ? "" : answer.substr(at + 9, 3);
}

bool hasHeader(const std::string &answer, const std::string &line) {
  return answer.find(line + "\r\n") != std::string::npos;
}

}  // namespace

TEST_F(PageBridgeTest, PageMakesEveryCall) {
  std::string token = Token();
  ASSERT_EQ(token.size(), 32u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  int status = -1;
  std::string out = Peer("/usr/bin/python3 " + scratch + "/page.py " + std::to_string(port) +
                             " " + token,
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
      {"over 1 MiB", create, right + json + " --data-binary @" + scratch + "/big.json", "400"},
      {"an array", create, right + json + " --data-raw '[{\"className\":\"x\"}]'", "400"},
      {"two objects", create, right + json + " --data-raw '{} {}'", "400"},
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
  // The right call still works afterwards, on its own connection.
  std::string made = Curl(create, right + json + body);
  EXPECT_EQ(statusOf(made), "200") << made;
  EXPECT_TRUE(hasHeader(made, "Cache-Control: no-store"));
  EXPECT_TRUE(hasHeader(made, "X-Content-Type-Options: nosniff"));
  EXPECT_EQ(Interop_CountContextInstances(PageBridge_GetChannel(bridge)), 1);
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
