// The command's progress line and summary, from status dictionaries as the
// repository writes them.
#include "host/progress.h"

#include <gtest/gtest.h>

#include <string>

#include "base/repository.h"
#include "core/formats/dictionary.h"
#include "tests/netfixture.h"

namespace {

std::string Line(const std::string &json) {
  Dictionary *status = NetTest_Dictionary(json);
  char out[kProgressLineBytes];
  Progress_FormatLine(status, out, int(sizeof out));
  Dictionary_Release(&status);
  return out;
}

// The phase follows the engine's work; the ETA is the copy's own estimate,
// else the bytes left over the speed, else unknown.
TEST(Progress, LineNamesPhasePercentBytesSpeedAndEta) {
  const std::string copying = std::to_string(kRepositoryStateSynchronize | kRepositoryStateRefresh |
                                             kRepositoryStateCopying);
  struct Row {
    std::string json;
    const char *line;
  } rows[] = {
      {R"({"stateFlags":)" + copying + R"(,"remoteReadSpeed":524288.0,"copy":{"progress":0.5,)"
       R"("bytesComplete":1048576,"bytesTotal":2097152,"remainingTime":65.0}})",
       "copy  50.0% 1.0 MiB / 2.0 MiB 512.0 KiB/s ETA 1m05s"},
      {R"({"stateFlags":)" + copying + R"(,"remoteReadSpeed":524288.0,"copy":{"progress":0.25,)"
       R"("bytesComplete":1048576,"bytesTotal":2097152,"remainingTime":-1.0}})",
       "copy  25.0% 1.0 MiB / 2.0 MiB 512.0 KiB/s ETA 2s"},
      {R"({"stateFlags":)" + copying + R"(,"remoteReadSpeed":0.0,"copy":{"progress":0.0,)"
       R"("bytesComplete":0,"bytesTotal":5000,"remainingTime":-1.0}})",
       "copy   0.0% 0 B / 4.9 KiB 0 B/s ETA --"},
      {R"({"stateFlags":)" + std::to_string(kRepositoryStateRefresh) + "}",
       "refresh   0.0% 0 B / 0 B 0 B/s ETA 0s"},
      {R"({"stateFlags":)" + std::to_string(kRepositoryStateSynchronize | kRepositoryStateLocalCleaning) +
           R"(,"copy":{"progress":1.0,"bytesComplete":7200000000,"bytesTotal":7200000000}})",
       "clean 100.0% 6.7 GiB / 6.7 GiB 0 B/s ETA 0s"},
      {R"({"stateFlags":0})", "done   0.0% 0 B / 0 B 0 B/s ETA 0s"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(Line(row.json), row.line);
  }
}

TEST(Progress, SummaryNamesRepositoryVersionFilesBytesAndSeconds) {
  Dictionary *status = NetTest_Dictionary(
      R"({"name":"game","remoteId":"v2","remoteReadBytes":123456789012,"copy":{"filesTotal":80}})");
  char out[kProgressLineBytes];
  Progress_FormatSummary(status, 1.25, out, int(sizeof out));
  Dictionary_Release(&status);
  EXPECT_STREQ(out, "game v2: 80 files, 123456789012 bytes fetched, 1.2 s\n");
}

}  // namespace
