// StaticFiles: the plain files of one directory, answered through the local
// web server for GET and HEAD. The server has already decoded the path and
// refused any ".." segment; on top of that the file's real path (links
// resolved) must lie under the directory's real path, so a link leading out
// of the directory gives 404 like a missing file. Directories give 404 too,
// never a listing; "/" is the server's default document, which an owner
// sets to kStaticFilesIndex for the directory's index page. Whole files only: the answer says "Accept-Ranges: none".
//
// Invariants: (1) the directory's real path is fixed at creation. (2) a file
// is opened only after its real path was found under it. (3) every answer
// carries "X-Content-Type-Options: nosniff".
//
// Threads: Respond and Write run on the server's thread; the object is not
// changed after creation.
#pragma once

#include <cstdint>

struct File;
struct StaticFiles;
struct WebServer;
struct WebServerConnection;

constexpr uint32_t kStaticFilesTag = 0x5f17e3c2;
// The directory's index page, the default document its server should have.
constexpr const char kStaticFilesIndex[] = "index.html";

// Files under directory. 0 (logged, *files NULL) when it is not a directory.
int StaticFiles_Create(StaticFiles **files, const char *directory);
// Frees; clears *files.
int StaticFiles_Release(StaticFiles **files);
// The directory's real path.
const char *StaticFiles_GetDirectory(StaticFiles *files);

// Answers the connection's current request (status, length, headers): 200
// for a regular file under the directory, 404 for anything else, 405 for a
// method other than GET or HEAD. Returns 1 when a body follows: *file is then
// open, to be sent with StaticFiles_Write and closed with
// StaticFiles_CloseFile; 0 with *file NULL otherwise.
int StaticFiles_Respond(StaticFiles *files, WebServer *server, WebServerConnection *connection,
                        File **file);
// Sends the next bytes of file, at most space. 1 while more follow; 0 once
// the file is sent or a read or write failed (the server then drops the
// connection for the short body).
int StaticFiles_Write(WebServer *server, WebServerConnection *connection, File *file,
                      int32_t space);
// Closes and frees a file of StaticFiles_Respond; clears *file (NULL: nothing).
void StaticFiles_CloseFile(File **file);
