// SysRoot: the root prefix of the system files; see sysroot.h.
#include "core/posix/sysroot.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

std::string gSysRoot;

}  // namespace

void SysRoot_SetForTest(const char *root) { gSysRoot = root ? root : ""; }

std::string SysRoot_Path(const char *path) { return gSysRoot + path; }

bool SysRoot_ReadFile(const std::string &path, std::string *text, size_t limit) {
  text->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  while (text->size() < limit) {
    ssize_t got = read(fd, buffer, std::min(sizeof buffer, limit - text->size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    text->append(buffer, size_t(got));
  }
  close(fd);
  return ok;
}

bool SysRoot_ReadLine(const std::string &path, std::string *line) {
  if (!SysRoot_ReadFile(path, line, 4096)) return false;
  size_t end = line->find('\n');
  if (end != std::string::npos) line->resize(end);
  return true;
}

std::vector<std::string> SysRoot_Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> SysRoot_ListDirectory(const std::string &path) {
  std::vector<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
