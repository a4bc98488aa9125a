// StaticOwner: a small owner of a WebServer that serves one directory
// through the handler callbacks: 200 for a file, 206 for a satisfiable range
// (WebServer_GetRange), 416 for one beyond the file, 404 for anything else,
// and, when asked, a POST echo (200 with the request body as the answer).
// The tests and the benchmark run the server with it.
//
// Threads: the callbacks run on the server thread; StaticOwner_Attach
// before WebServer_Start.
#pragma once

#include <string>

struct WebServer;

struct StaticOwner {
  std::string root;   // served directory, no trailing '/'
  bool echoPost = false;
};

// Sets the open-free callback cells (request, post when echoing, response,
// write, close) of server to owner, which must outlive the server's running.
void StaticOwner_Attach(StaticOwner *owner, WebServer *server);
