// mark_peer: a second process for the single-instance mark tests.
//
//   mark_peer hold <name> <timeoutMs> <status file> <data file> <pump 0|1> <lifeMs>
//     Platform_Exclusive(name); writes "held" or "busy" to the status file.
//     While holding (up to lifeMs) it pumps its main queue when pump is 1;
//     each block of data that reaches its callback is recorded in the data
//     file as "<size> <on acquiring thread 0|1> <pattern intact 0|1>".
//   mark_peer send <name> <size> <timeoutMs>
//     sends size pattern bytes to the holder of the exclusive mark; exits 0
//     when the answer was 1, 1 when it was 0, 2 when no instance held it.
//   mark_peer try <name> <timeoutMs>
//     exits with Platform_Exclusive's result (0 took it, 1 held elsewhere).
//
// The pattern: byte i is (i * 7) & 0xff.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/appmark.h"
#include "core/platform/eventqueue.h"
#include "core/platform/platform.h"
#include "core/platform/thread.h"

namespace {

uint32_t gMainThread = 0;

void writeFile(const std::string &path, const std::string &text, bool append) {
  std::string temporary = path + ".part";
  FILE *file = std::fopen(append ? path.c_str() : temporary.c_str(), append ? "ab" : "wb");
  if (file == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  if (!append) std::rename(temporary.c_str(), path.c_str());
}

void recordData(void *context, const void *data, uint32_t size) {
  const auto *bytes = static_cast<const uint8_t *>(data);
  bool intact = true;
  for (uint32_t i = 0; i < size; i++) intact = intact && bytes[i] == uint8_t(i * 7);
  std::string line = std::to_string(size) + " " +
                     (Platform_GetThreadId() == gMainThread ? "1" : "0") + " " +
                     (intact ? "1" : "0") + "\n";
  writeFile(*static_cast<std::string *>(context), line, true);
}

int hold(char **argv) {
  std::string dataFile = argv[5];
  int busy = Platform_Exclusive(argv[2], std::atoi(argv[3]));
  if (!busy)
    AppMark_SetDataCallback(Platform_GetExclusiveMark(), &dataFile, recordData);
  writeFile(argv[4], busy ? "busy" : "held", false);
  if (busy) return 1;
  bool pump = std::atoi(argv[6]) != 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(argv[7]));
  while (std::chrono::steady_clock::now() < end) {
    if (pump) {
      EventQueue_Flush(nullptr);
      Thread_Yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return 0;
}

int send(char **argv) {
  AppMark_SetSendTimeoutForTest(std::atoi(argv[4]));
  if (!Platform_Exclusive(argv[2], 0)) return 2;
  std::vector<uint8_t> data(size_t(std::atoi(argv[3])));
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7);
  return AppMark_SendToRunning(data.data(), uint32_t(data.size())) == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  gMainThread = Platform_GetThreadId();
  Thread_Init();
  EventQueue_InitMain();
  Platform_Init();
  int code = 100;
  if (mode == "hold" && argc == 8) code = hold(argv);
  if (mode == "send" && argc == 5) code = send(argv);
  if (mode == "try" && argc == 4) code = Platform_Exclusive(argv[2], std::atoi(argv[3]));
  Platform_Shutdown();
  return code;
}
