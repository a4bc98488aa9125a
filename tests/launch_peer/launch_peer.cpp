// launch_peer: a program for the launch tests to start. It records how it was
// started (argv, real/effective/saved ids, groups, working directory,
// environment, open descriptors) into the file named by its first argument
// and exits with the code in its second:
//
//   launch_peer <record file> <exit code> [arguments...]
//
// Record lines: "uid=r,e,s", "gid=r,e,s", "groups=a,b", "cwd=...",
// "fds=0,1,2", then one "arg=<hex>" per argv entry (argv[0] first) and one
// "env=<hex>" per environment entry; hex keeps every byte intact. The file is
// written beside its name and renamed into place, so a reader that sees it
// sees all of it.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char **environ;

namespace {

std::string hex(const char *text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char *p = text; *p; p++) {
    auto byte = static_cast<unsigned char>(*p);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

std::string descriptors() {
  std::string out;
  DIR *directory = opendir("/proc/self/fd");
  if (directory == nullptr) return "?";
  int own = dirfd(directory);
  while (struct dirent *entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;
    if (!out.empty()) out += ',';
    out += entry->d_name;
  }
  closedir(directory);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return 100;
  // Read before anything of ours opens a descriptor.
  std::string fds = descriptors();
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  gid_t groups[256];
  int groupCount = getgroups(256, groups);
  char cwd[4096] = "";
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';

  std::string record;
  record += "uid=" + std::to_string(ruid) + "," + std::to_string(euid) + "," +
            std::to_string(suid) + "\n";
  record += "gid=" + std::to_string(rgid) + "," + std::to_string(egid) + "," +
            std::to_string(sgid) + "\n";
  record += "groups=";
  for (int i = 0; i < groupCount; i++) record += (i ? "," : "") + std::to_string(groups[i]);
  record += "\ncwd=" + std::string(cwd) + "\nfds=" + fds + "\n";
  for (int i = 0; i < argc; i++) record += "arg=" + hex(argv[i]) + "\n";
  for (char **e = environ; e && *e; e++) record += "env=" + hex(*e) + "\n";

  std::string temporary = std::string(argv[1]) + ".part";
  FILE *file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return 101;
  bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
  if (std::fclose(file) != 0 || !written) return 102;
  if (std::rename(temporary.c_str(), argv[1]) != 0) return 103;
  return std::atoi(argv[2]);
}
