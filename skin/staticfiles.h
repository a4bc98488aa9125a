// StaticFiles: the plain files of one directory, answered through the local
// web server for GET and HEAD. The server has already decoded the path and
// refused any ".." segment; on top of that the directory is opened once, at
// creation, and each path is opened below that descriptor in one call that
// never leaves it: a link leading out of the directory gives 404 like a
// missing file (links that stay inside are followed). Every entry from the
// directory to the file must be the running user's or root's, closed to
// others' writes (TrustedPath_Judge); one that is not gives 404 and, once
// per entry, a line for the starter's terminal. Directories, pipes
// and devices give 404 too, never a listing; "/" is the server's default
// document, which an owner sets to kStaticFilesIndex for the directory's
// index page. Whole files only: the answer says "Accept-Ranges: none". The
// body goes out with the server's WebServer_SendFile, from the file to the
// socket without a copy.
//
// Invariants: (1) the directory's name and descriptor are fixed at
// creation. (2) a file is opened only below that descriptor. (3) every
// answer carries "X-Content-Type-Options: nosniff".
//
// Threads: Respond and Write run on the server's thread; the object is not
// changed after creation but for the refusal lines, under a lock inside.
#pragma once

#include <cstdint>

struct PlatformDirectory;
struct StaticFiles;

// A file being answered: its descriptor (owned until handed to the server;
// -1: none) and its size.
struct StaticFile {
  int fd = -1;
  int64_t size = 0;
};
struct WebServer;
struct WebServerConnection;

constexpr uint32_t kStaticFilesTag = 0x5f17e3c2;
// The directory's index page, the default document its server should have.
constexpr const char kStaticFilesIndex[] = "index.html";

// Files under directory. 0 (logged, *files NULL) when it is not a directory.
int StaticFiles_Create(StaticFiles **files, const char *directory);
// Files under a directory the caller opened, which this takes (closed on
// failure too); name is what lines call it. 1/0.
int StaticFiles_CreateAt(StaticFiles **files, PlatformDirectory *directory, const char *name);
// Frees; clears *files.
int StaticFiles_Release(StaticFiles **files);
// The directory's real path.
const char *StaticFiles_GetDirectory(StaticFiles *files);

// Answers the connection's current request (status, length, headers): 200
// for a regular file under the directory, 404 for anything else, 405 for a
// method other than GET or HEAD. Returns 1 when a body follows: file is then
// open, to be sent with StaticFiles_Write; 0 with it closed otherwise.
int StaticFiles_Respond(StaticFiles *files, WebServer *server, WebServerConnection *connection,
                        StaticFile *file);
// The next line for an entry refused for its owner or mode ("<dir>/<entry>:
// not served: <rule>"), each entry once. 1 with it in out; 0 when none
// waits. Any thread.
int StaticFiles_TakeRefusal(StaticFiles *files, char *out, int size);
// Hands the file to the server, which sends it from the socket's write loop
// (the file's descriptor goes with it). Returns 0: the owner has no more to
// write (on a failure the server drops the connection for the short body).
int StaticFiles_Write(WebServer *server, WebServerConnection *connection, StaticFile *file,
                      int32_t space);
// Closes a file of StaticFiles_Respond that was not handed over (none:
// nothing).
void StaticFiles_CloseFile(StaticFile *file);
