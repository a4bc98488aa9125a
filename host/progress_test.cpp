// The command's progress line and summary, from status dictionaries as the
// repository writes them.
#include "host/progress.h"

#include <gtest/gtest.h>

#include <string>

#include "base/repository.h"
#include "core/formats/dictionary.h"
#include "tests/netfixture.h"

namespace {

std::string Line(const std::string &json, const ProgressExtra *extra) {
  Dictionary *status = NetTest_Dictionary(json);
  char out[kProgressLineBytes];
  Progress_FormatLine(status, extra, out, int(sizeof out));
  Dictionary_Release(&status);
  return out;
}

std::string Flags(uint32_t flags) { return R"({"stateFlags":)" + std::to_string(flags); }

// The bytes in all, those checked (found whole in place) and those fetched
// apart; fetched bytes of the pieces in flight count as they arrive (the
// remote storages' readBytes), a piece in flight at most once; the ETA is the copy's own
// estimate, else the bytes left over the rate, else 0 s when nothing is left
// and "--" when unknown; a retry
// that is due names the phase.
TEST(Progress, LineNamesPhasePercentBytesRateAndEta) {
  const std::string copying = Flags(kRepositoryStateSynchronize | kRepositoryStateRefresh |
                                    kRepositoryStateCopying);
  const ProgressExtra none{-1, -1}, half{524288, -1}, quarter{262144, -1}, still{0, -1},
      retry{0, 12.4}, slow{35942, -1};
  struct Row {
    std::string json;
    const ProgressExtra *extra;
    const char *line;
  } rows[] = {
      {copying + R"(,"copy":{"bytesComplete":1048576,"bytesTotal":2097152,"remainingTime":65.0}})",
       &half, "copy  50.0% 2.0 MiB: checked 0 B, written 1.0 MiB, "
       "fetched 0 B at 512.0 KiB/s ETA 1m05s"},
      // Nothing written yet, half a MiB in flight across two remotes.
      {copying + R"(,"remote":[{"readBytes":300000,"pendingRequests":1},{"readBytes":224288,)"
                 R"("pendingRequests":1}],"remoteReadBytes":1,"copy":{"bytesComplete":0,)"
                 R"("bytesTotal":2097152,"pieceLength":1048576,"remainingTime":-1.0}})",
       &quarter, "copy  25.0% 2.0 MiB: checked 0 B, written 0 B, "
       "fetched 512.0 KiB at 256.0 KiB/s ETA 6s"},
      {copying + R"(,"remoteReadBytes":524288,"pendingRequests":1,"copy":{)"
                 R"("bytesComplete":1048576,"bytesSkipped":1048576,"bytesTotal":2097152,)"
                 R"("pieceLength":1048576}})",
       &quarter, "copy  75.0% 2.0 MiB: checked 1.0 MiB, written 0 B, "
       "fetched 512.0 KiB at 256.0 KiB/s ETA 2s"},
      // Compressed pieces: fewer bytes fetched than written.
      {copying + R"(,"remoteReadBytes":1000,"copy":{"bytesComplete":1048576,)"
                 R"("bytesTotal":2097152}})",
       &half, "copy  50.0% 2.0 MiB: checked 0 B, written 1.0 MiB, "
       "fetched 1000 B at 512.0 KiB/s ETA 2s"},
      // Pieces fetched twice and retried bodies count as fetched, not as
      // the version's bytes: waiting for a retry, only what was written
      // counts; a piece in flight adds its own bytes at most, the
      // documents nothing.
      {copying + R"(,"remoteReadBytes":3145728,"pendingRequests":0,"copy":{)"
                 R"("bytesComplete":786432,"bytesTotal":1048576,"pieceLength":262144}})",
       &half, "copy  75.0% 1.0 MiB: checked 0 B, written 768.0 KiB, "
       "fetched 3.0 MiB at 512.0 KiB/s ETA 1s"},
      {copying + R"(,"remote":[{"readBytes":600000,"pendingRequests":1}],)"
                 R"("documentReadBytes":500000,"copy":{"bytesComplete":0,)"
                 R"("bytesTotal":2097152,"pieceLength":262144}})",
       &half, "copy  12.5% 2.0 MiB: checked 0 B, written 0 B, "
       "fetched 1.0 MiB at 512.0 KiB/s ETA 4s"},
      // An update that finds most bytes whole in place: what it checked and
      // what it fetched stay apart.
      {copying + R"(,"remoteReadBytes":18432,"copy":{"bytesComplete":203340186,)"
                 R"("bytesSkipped":203321754,"bytesTotal":210661786,"remainingTime":3.0}})",
       &slow, "copy  96.5% 200.9 MiB: checked 193.9 MiB, written 18.0 KiB, "
       "fetched 18.0 KiB at 35.1 KiB/s ETA 3s"},
      // An update built from deltas: checked and written add up to the whole.
      {R"({"stateFlags":0,"remoteReadBytes":48435,"copy":{"bytesComplete":210661786,)"
       R"("bytesSkipped":101711462,"bytesTotal":210661786}})",
       &still, "done 100.0% 200.9 MiB: checked 97.0 MiB, written 103.9 MiB, "
       "fetched 47.3 KiB at 0 B/s ETA 0s"},
      {copying + R"(,"copy":{"bytesComplete":0,"bytesTotal":5000,"remainingTime":-1.0}})", &still,
       "copy   0.0% 4.9 KiB: checked 0 B, written 0 B, fetched 0 B at 0 B/s ETA --"},
      {Flags(kRepositoryStateRefresh) + "}", &still,
       "refresh   0.0% 0 B: checked 0 B, written 0 B, "
      "fetched 0 B at 0 B/s ETA --"},
      {copying + R"(,"copy":{"bytesComplete":0,"bytesTotal":5000}})", &retry,
       "retrying in 12 s   0.0% 4.9 KiB: checked 0 B, written 0 B, fetched 0 B at 0 B/s ETA --"},
      {Flags(kRepositoryStateSynchronize | kRepositoryStateLocalCleaning) +
           R"(,"copy":{"bytesComplete":7200000000,"bytesTotal":7200000000}})",
       &still, "clean 100.0% 6.7 GiB: checked 0 B, written 6.7 GiB, fetched 0 B at 0 B/s ETA 0s"},
      // Without a measured rate the status's own speed serves.
      {copying + R"(,"remoteReadSpeed":1024.0,"copy":{"bytesComplete":0,"bytesTotal":10240}})",
       &none, "copy   0.0% 10.0 KiB: checked 0 B, written 0 B, fetched 0 B at 1.0 KiB/s ETA 10s"},
      {R"({"stateFlags":0})", nullptr, "done   0.0% 0 B: checked 0 B, written 0 B, "
      "fetched 0 B at 0 B/s ETA --"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(Line(row.json, row.extra), row.line);
  }
}

// The summary keeps the line's units and gives the average rate.
TEST(Progress, SummaryNamesVersionFilesBytesSecondsRateAndRepairs) {
  struct Row {
    const char *json;
    double seconds;
    int32_t repaired;
    const char *line;
  } rows[] = {
      {R"({"name":"myapp","remoteId":"1.0","remoteReadBytes":26843546,"copy":{"filesTotal":6}})",
       2.1, 0, "myapp 1.0: 6 files, 25.6 MiB fetched in 2.1 s (12.2 MiB/s), 0 repaired\n"},
      {R"({"name":"game","remoteId":"v2","remote":[{"readBytes":123456789012}],)"
       R"("copy":{"filesTotal":80}})",
       100.0, 3, "game v2: 80 files, 115.0 GiB fetched in 100.0 s (1.1 GiB/s), 3 repaired\n"},
      {R"({"name":"game","remoteId":"v2"})", 0.0, 0,
       "game v2: 0 files, 0 B fetched in 0.0 s (0 B/s), 0 repaired\n"},
      // The documents' bodies are fetched too, pieces or not.
      {R"({"name":"game","remoteId":"v2","remote":[{"readBytes":1024}],)"
       R"("documentReadBytes":2048,"copy":{"filesTotal":1}})",
       1.0, 0, "game v2: 1 files, 3.0 KiB fetched in 1.0 s (3.0 KiB/s), 0 repaired\n"},
      {R"({"name":"game","remoteId":"v2","documentReadBytes":100663296})", 10.0, 0,
       "game v2: 0 files, 96.0 MiB fetched in 10.0 s (9.6 MiB/s), 0 repaired\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.json);
    Dictionary *status = NetTest_Dictionary(row.json);
    char out[kProgressLineBytes];
    Progress_FormatSummary(status, row.seconds, row.repaired, out, int(sizeof out));
    Dictionary_Release(&status);
    EXPECT_STREQ(out, row.line);
  }
}

}  // namespace
