// Serve: the "serve" command's run. It serves one page over loopback HTTP:
// the page bridge under "/instances/", the files of a directory beside it,
// and one repository the page may start. The repository is made with
// Refresh and Synchronize requested but paused: its work begins when the
// page calls setActive. Once the server listens, one JSON line on stdout
// tells the starter where to point a browser: {"url", "open", "token",
// "repository"}, where "token" holds a one-time ticket. The ticket travels
// only there and in the fragment of "open", which browsers send to no server;
// the page trades it, once and within a minute, for the session token the
// calls carry.
// The repository's progress line goes to stderr as `keelson sync` writes it,
// and so does the line `keelson sync` ends with (its summary or its failure)
// when a sync the page started ends; refused ticket trades are written there
// too, the first at once and the rest as a count per kServeNoticeSeconds;
// "/" answers with --www's index page; without --www a line on stderr says at
// start that no page is served, and "/" answers 404 with a text naming --www.
//
// Invariants: (1) the server binds 127.0.0.1 and serves only sockets of the
// user it runs as (root's serve only root's). (2) on a quit signal the
// server stops first, then the page's instances go (so the references they
// hold on the repository go while the pool still exists), then the
// repository.
//
// Threads: main thread only, between Host_Start and Host_Stop.
#pragma once

#include <cstdint>

struct Dictionary;
struct PlatformDirectory;

struct ServeOptions {
  const char *repositoryFile;  // the repository's configuration
  const char *credentials;     // answers to password prompts, or NULL
  const char *www;             // the page's files, or NULL
  int32_t port;                // 0: a free one
  const char *app;             // the --app file, named in hints, or NULL
  Dictionary *config;          // the repository file as read at start (borrowed)
  PlatformDirectory *wwwDirectory;  // --www as checked at start (taken), or NULL
};

// Refused ticket trades after the first are counted over this long.
constexpr double kServeNoticeSeconds = 10.0;
// The longest the command waits for its listening socket.
constexpr double kServeListenSeconds = 10.0;

// Runs until SIGINT or SIGTERM. Returns the exit code: 0 after a quit
// signal, 1 when the server could not listen, 2 for a repository file or
// directory that cannot be used (one line on stderr).
int Serve_Run(const ServeOptions *options);
