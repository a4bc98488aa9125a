// The Python peer of the pipe tests: a client of the Unix socket at path that
// sends 5,000 patterned bytes, prints the Base64 of the first 4,096 and of
// the other 904 (one line each), reads a 3-byte answer and prints it.
//
// Threads: builds text only.
#pragma once

#include <string>

#include "core/platform/namedpipe.h"

// The socket file of a pipe name ("\\.\pipe\<name>") for this process.
inline std::string PipePeer_SocketFile(const std::string &name) {
  char path[128] = "";
  NamedPipe_GetSocketPath(("\\\\.\\pipe\\" + name).c_str(), path, sizeof path);
  return path;
}

// The script for `python3 -c`; afterSend runs once everything is sent, tail
// after the answer was printed (lines of Python, each ending in '\n'). Every
// socket wait is bounded (20 s).
inline std::string PipePeer_Script(const std::string &path, const std::string &afterSend,
                                   const std::string &tail) {
  std::string script =
      "import base64, socket\n"
      "data = bytes((i * 7 + 3) % 256 for i in range(5000))\n"
      "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
      "s.settimeout(20)\n";
  script += "s.connect('" + path + "')\n";
  script += "s.sendall(data)\n" + afterSend;
  script +=
      "print(base64.b64encode(data[:4096]).decode())\n"
      "print(base64.b64encode(data[4096:]).decode())\n"
      "answer = b''\n"
      "while len(answer) < 3:\n"
      "    answer += s.recv(16)\n"
      "print(answer.decode())\n";
  return script + tail;
}
