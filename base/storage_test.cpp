#include "base/storage.h"

#include "base/storagedefaults.h"
#include "tests/storage_test_util.h"

namespace {

using StorageTest = StorageFixture;

Dictionary *NewConfig(const char *type) {
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  if (type != nullptr) Dictionary_SetStringByKey(config, "type", type);
  return config;
}

TEST_F(StorageTest, FlagsAndDriverSelection) {
  struct Case {
    const char *type;
    const char *flagsText;  // NULL: flagsNumber (or none when -1)
    int64_t flagsNumber;
    uint32_t flags;
    const char *driver;
  };
  const Case cases[] = {
      {"httpPiece", "gzip, vcdiff", 0, 6, "httpPiece"},
      {"unknown", "pad,,bogus ,AES256  ", 0, 9, "httpPiece"},
      {"none", nullptr, 12, 12, "httpPiece"},
      {"FILE", nullptr, 14, 1, "file"},
      {"Http", "gzip", 0, 1, "http"},
      {"httppiece", nullptr, -1, 0, "httpPiece"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    Dictionary *config = NewConfig(c.type);
    if (c.flagsText != nullptr)
      Dictionary_SetStringByKey(config, "flags", c.flagsText);
    else if (c.flagsNumber >= 0)
      Dictionary_SetInt64ByKey(config, "flags", c.flagsNumber);
    lines.clear();
    // No driver's own keys are given: the driver attaches, then its
    // Configure fails.
    EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
    EXPECT_EQ(Storage_GetFlags(storage), c.flags);
    EXPECT_STREQ(StorageDriver_GetTypeName(storage->driver), c.driver);
    Dictionary_Release(&config);
  }
}

TEST_F(StorageTest, ConfigurationErrorsKeepTheDriver) {
  Storage_SetDriver(storage, &kScriptedDriver);
  void *before = nullptr;
  Storage_GetDriverContext(storage, &before);
  Dictionary *config = NewConfig(nullptr);
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
  EXPECT_TRUE(Logged("Configuration dictionary missing type"));
  Dictionary_SetStringByKey(config, "type", "filePiece");
  Dictionary_SetBooleanByKey(config, "flags", 1);
  EXPECT_EQ(Storage_Configure(storage, nullptr, config), 0);
  EXPECT_TRUE(Logged("Configuration dictionary invalid flag type (2)"));
  void *after = nullptr;
  EXPECT_EQ(Storage_GetDriverContext(storage, &after), 1);
  EXPECT_EQ(after, before);
  Dictionary_Release(&config);
}

TEST_F(StorageTest, SetDriverKeepsOrReplacesTheObject) {
  Storage_SetDriver(storage, &kScriptedDriver);
  void *first = nullptr, *again = nullptr;
  Storage_GetDriverContext(storage, &first);
  Storage_SetDriver(storage, &kScriptedDriver);
  Storage_GetDriverContext(storage, &again);
  EXPECT_EQ(first, again);

  // Another record releases the old object first.
  StorageDriver other = kScriptedDriver;
  Storage_SetDriver(storage, &other);
  Storage_GetDriverContext(storage, &again);
  EXPECT_EQ(ScriptedDriver_GetCalls(storage, kScriptedRead), 0);

  Storage_Reset(storage);
  EXPECT_FALSE(Storage_HasDriver(storage));
  EXPECT_DEATH(
      {
        StorageDriver partial = kScriptedDriver;
        partial.Pump = nullptr;
        Storage_SetDriver(storage, &partial);
      },
      "lacks a slot");
}

TEST_F(StorageTest, StatusKeysInOrder) {
  Dictionary *status = nullptr;
  Dictionary_Create(&status);
  Storage_GetStatus(storage, status);
  char type[32] = {};
  Dictionary_GetStringByKey(status, "type", type, sizeof type);
  EXPECT_STREQ(type, "none");
  EXPECT_EQ(DictionaryKeys(status),
            "type,id,errorCount,pendingRequests,readBytes,writeBytes,maxReadSpeed,"
            "maxWriteSpeed,readSpeed,writeSpeed");
  Dictionary_Clear(status);
  Storage_SetDriver(storage, &kScriptedDriver);
  Storage_GetStatus(storage, status);
  EXPECT_EQ(DictionaryKeys(status),
            "type,id,errorCount,pendingRequests,readBytes,writeBytes,maxReadSpeed,"
            "maxWriteSpeed,readSpeed,writeSpeed,readCalls");
  Dictionary_Release(&status);
}

TEST_F(StorageTest, DriverStepResultsReachTheCompletion) {
  Storage_SetDriver(storage, &kScriptedDriver);
  struct Case {
    int32_t slot;
    ScriptedAction action;
  };
  const Case cases[] = {
      {kScriptedErasePiece, {404, 7, 0, 0}},
      {kScriptedEraseFile, {0, 0, 1, 50}},
      {kScriptedCompleteFile, {964, 28, 1, 0}},
      {kScriptedExists, {0, 0, 0, 0}},
  };
  int32_t failures = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.slot);
    static ScriptedAction next;
    next = c.action;
    ScriptedDriver_SetScript(storage, nullptr,
                             [](void *, int32_t, StorageStep *) { return next; });
    StorageOutcome outcome;
    int argument = 0;
    auto op = c.slot == kScriptedErasePiece   ? Storage_ErasePiece
              : c.slot == kScriptedEraseFile  ? Storage_EraseFile
              : c.slot == kScriptedExists     ? Storage_Exists
                                              : Storage_CompleteFile;
    op(storage, &argument, nullptr, &outcome, StorageOutcome::Complete);
    ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.result, c.action.result);
    EXPECT_EQ(outcome.resultEx, c.action.resultEx);
    EXPECT_EQ(ScriptedDriver_GetCalls(storage, c.slot), 1);
    failures += c.action.result != 0;
    EXPECT_EQ(Storage_GetErrorCount(storage), failures);
    EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  }
  EXPECT_TRUE(Balanced());
}

TEST_F(StorageTest, StoppedStorageCancelsNewOperations) {
  Storage_SetDriver(storage, &kScriptedDriver);
  Storage_Stop(storage);
  Storage_Stop(storage);
  EXPECT_EQ(ScriptedDriver_GetCalls(storage, 6), 1);
  StorageOutcome outcome;
  Storage_ErasePiece(storage, nullptr, nullptr, &outcome, StorageOutcome::Complete);
  ASSERT_TRUE(PumpUntil([&] { return outcome.calls == 1; }));
  EXPECT_EQ(outcome.result, kStorageResultCancelled);
  EXPECT_EQ(outcome.resultEx, kStorageCancelStopped);
  EXPECT_EQ(ScriptedDriver_GetCalls(storage, kScriptedErasePiece), 0);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  // SetActive does nothing once stopping.
  Storage_SetActive(storage, 1);
  EXPECT_EQ(ScriptedDriver_GetCalls(storage, 7), 0);
  EXPECT_TRUE(Balanced());
}

TEST_F(StorageTest, ResetCancelsQueuedResults) {
  Storage_SetDriver(storage, &kScriptedDriver);
  StorageOutcome outcome;
  Storage_ErasePiece(storage, nullptr, nullptr, &outcome, StorageOutcome::Complete);
  // Wait for the result to be queued, without flushing it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (storage->header.refCount.load() != 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  Storage_SetPassword(storage, "secret");
  Storage_Reset(storage);
  EXPECT_TRUE(Balanced());
  EXPECT_EQ(outcome.calls, 0);
  EXPECT_EQ(Storage_GetPendingRequests(storage), 0);
  char password[kStoragePasswordBytes];
  Storage_GetPassword(storage, password);
  EXPECT_STREQ(password, "");
}

TEST(StorageDefaultsTest, MergeFillsOnlyMissingKeys) {
  Dictionary *config = nullptr;
  Dictionary_Create(&config);
  Dictionary_SetInt64ByPath(config, "storage.requests", 3);
  StorageDefaults_Merge(config);
  int64_t requests = 0, cacheSize = 0;
  int32_t systemBuffer = 0;
  char format[320] = {};
  Dictionary_GetInt64ByPath(config, "storage.requests", &requests);
  Dictionary_GetInt64ByPath(config, "storage.deltaCacheSize", &cacheSize);
  Dictionary_GetBooleanByPath(config, "storage.systemBuffer", &systemBuffer);
  Dictionary_GetStringByPath(config, "storage.pieceFormat", format, sizeof format);
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(cacheSize, 33554432);
  EXPECT_EQ(systemBuffer, 1);
  EXPECT_STREQ(format, "{targetInfoHash}/{targetDigest}.varnopiece");
  Dictionary_Release(&config);
}

}  // namespace
