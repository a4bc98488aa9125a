// The decrypt step's password prompt, with the real challenge broker and
// the fake user interface answering as a page does.
#include <memory>
#include <sstream>

#include "base/storage.h"
#include "base/storagechain.h"
#include "base/storagerequest.h"
#include "tests/metafile_vectors.h"
#include "tests/netfixture.h"
#include "tests/scripted_driver.h"

namespace {

struct AesPiece {
  std::string path, target, password;
  int32_t index = 0;
};

// The first AES-256 piece without a header whose password is printable
// text, as a user types it.
AesPiece FindAesPiece() {
  std::istringstream in(Test_ReadVectors("contenttree/pieces/faults.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    AesPiece p;
    std::string old, pw;
    uint32_t flags = 0;
    int32_t header = 0;
    std::string stage;
    f >> p.path >> p.target >> old >> p.index >> flags >> header >> pw >> stage;
    if (flags != kStorageFlagAes256 || header != 0 || pw == "-" || stage != "ok") continue;
    std::vector<uint8_t> bytes = Test_HexToBytes(pw);
    p.password.assign(bytes.begin(), bytes.end());
    bool printable = true;
    for (char c : p.password) printable = printable && c >= 0x20 && c < 0x7f && c != '"';
    if (printable) return p;
  }
  ADD_FAILURE() << "no AES-256 piece";
  return {};
}

ScriptedAction ReadBytes(void *context, int32_t slot, StorageStep *step) {
  if (slot != kScriptedRead) return {};
  auto *bytes = static_cast<std::string *>(context);
  auto *r = static_cast<StorageRequest *>(step->argument);
  auto *m = static_cast<StorageMember *>(step->value);
  if (m->previous != nullptr) return {0, 0, 1, 0};
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(r, 0, &p);
  memcpy(p, bytes->data(), bytes->size());
  StorageRequest_ReleaseBuffer(r, &p);
  StorageRequest_AddLength(r, int64_t(bytes->size()));
  return {0, 0, 1, 0};
}

struct Outcome {
  int32_t calls = 0, result = -1, resultEx = -1;
  static void Complete(Storage *, void *context, void *, int32_t result, int32_t resultEx) {
    auto *o = static_cast<Outcome *>(context);
    o->calls++;
    o->result = result;
    o->resultEx = resultEx;
  }
};

class StoragePassword : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    prompterOwner = std::make_unique<TestPrompter>();
    piece = FindAesPiece();
    bytes = Test_ReadVectors("contenttree/pieces/" + piece.path);
    meta = MetaFile_TestLoadVectors("contenttree/pieces/meta/" + piece.target + ".json");
    Storage_Create(&storage);
    Storage_SetQueue(storage, EventQueue_GetMain());
    Storage_SetDriver(storage, &kScriptedDriver);
    Storage_SetLocation(storage, "https://pieces.example/store/");
    storage->flags = kStorageFlagAes256;
    ScriptedDriver_SetScript(storage, &bytes, ReadBytes);
  }
  void TearDown() override {
    for (StorageRequest *&r : requests) Class_ReleaseObject(&r);
    Class_ReleaseObject(&storage);
    meta.reset();
    prompterOwner.reset();
    NetTest::TearDown();
  }
  // Starts n reads of the piece; their outcomes.
  std::vector<Outcome> &Read(int n) {
    outcomes.assign(size_t(n), Outcome());
    for (int i = 0; i < n; i++) {
      StorageRequest *r = nullptr;
      StorageRequest_Create(&r);
      StorageRequest_SetMetaFile(r, meta.get());
      StorageRequest_AddPiece(r, piece.index);
      StorageRequest_AllocBuffer(r);
      requests.push_back(r);
      Storage_Read(storage, r, nullptr, &outcomes[size_t(i)], Outcome::Complete);
    }
    return outcomes;
  }
  bool AllDone() {
    return NetTest_PumpUntil([&] {
      for (Outcome &o : outcomes)
        if (o.calls == 0) return false;
      return true;
    });
  }

  AesPiece piece;
  std::string bytes;
  TestMetaPtr meta;
  Storage *storage = nullptr;
  std::vector<StorageRequest *> requests;
  std::vector<Outcome> outcomes;
  std::unique_ptr<TestPrompter> prompterOwner;
  TestPrompter &prompter() { return *prompterOwner; }
};

TEST_F(StoragePassword, CancelGivesPromptCancelled) {
  prompter().Script(R"({"cancel":true})");
  Read(1);
  ASSERT_TRUE(AllDone());
  EXPECT_EQ(outcomes[0].result, kStorageResultCancelled);
  EXPECT_EQ(outcomes[0].resultEx, kStorageCancelPrompt);
  ASSERT_EQ(prompter().Prompts().size(), 1u);
  EXPECT_NE(prompter().Prompts()[0].request.find("https://pieces.example/store/"),
            std::string::npos);
}

TEST_F(StoragePassword, WrongThenRightAnswerAndOnePromptForEightChains) {
  prompter().Script(R"({"password":"wrong"})");
  prompter().Script(std::string(R"({"password":")") + piece.password + R"("})");
  Read(8);
  ASSERT_TRUE(AllDone());
  for (Outcome &o : outcomes) {
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.result, 0) << o.resultEx;
  }
  std::string asked;
  for (const auto &p : prompter().Prompts()) asked += p.request + "\n";
  ASSERT_EQ(prompter().Prompts().size(), 2u) << asked;
  EXPECT_NE(prompter().Prompts()[1].request.find("\"attempt\":1"), std::string::npos)
      << prompter().Prompts()[1].request;
  EXPECT_EQ(storage->challengeCount, 0);
}

// The command's answers: the stored password on a first attempt, a cancel
// after. A read that comes back later, when the refused password was already
// marked and the cancel forgotten, must end cancelled again, not hand the
// same refused password back to itself without end.
TEST_F(StoragePassword, RefusedPasswordAfterACancelEndsCancelledAgain) {
  for (int round = 0; round < 2; round++) {
    prompter().Script(R"({"password":"wrong"})");
    prompter().Script(R"({"cancel":true})");
    Read(1);
    ASSERT_TRUE(AllDone()) << "round " << round;
    EXPECT_EQ(outcomes[0].result, kStorageResultCancelled);
    EXPECT_EQ(outcomes[0].resultEx, kStorageCancelPrompt);
    ASSERT_EQ(prompter().Prompts().size(), size_t(2 * (round + 1)));
    EXPECT_NE(prompter().Prompts().back().request.find("\"attempt\":1"), std::string::npos);
  }
}

TEST_F(StoragePassword, StopDuringThePromptCancelsTheWaitingSteps) {
  Read(3);
  ASSERT_TRUE(NetTest_PumpUntil([&] { return prompter().Prompts().size() == 1; }));
  ASSERT_TRUE(NetTest_PumpUntil([&] { return storage->challengeCount == 3; }));
  Storage_Stop(storage);
  ASSERT_TRUE(AllDone());
  for (Outcome &o : outcomes) {
    EXPECT_EQ(o.result, kStorageResultCancelled);
    EXPECT_EQ(o.resultEx, kStorageCancelStopped);
  }
  EXPECT_EQ(storage->challengeCount, 0);
  EXPECT_TRUE(NetTest_PumpUntil([&] { return storage->header.refCount.load() == 1; }));
}

}  // namespace
