// The repository tests' harness: the network fixture with a content server
// (nginx on 127.0.0.1 serving a tree of tests/gen_contenttree.py), the
// application settings a repository reads its defaults from, and a pump
// that does what one pass of the repository task does on the main thread.
//
// Threads: everything here on the test's (main) thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/enginelog.h"
#include "base/repository.h"
#include "base/storagedefaults.h"
#include "core/net/webget.h"
#include "core/net/webgetpool.h"
#include "core/platform/asyncfile.h"
#include "core/platform/ioworker.h"
#include "core/platform/thread.h"
#include "core/security/auth.h"
#include "tests/netfixture.h"
#include "tests/contenttree_server.h"
#include "tests/storage_test_util.h"

class RepositoryNetFixture : public NetTest, public StorageLogLines {
 protected:
  static void SetUpTestSuite() { server_ = new ContentTreeServer(true); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->Ready())
      GTEST_SKIP() << "nginx or the content tree is not available";
    NetTest::SetUp();
    NetTest_StartLoopbackServices();
    Dictionary_Create(&settings);
    StorageDefaults_Merge(settings);
  }
  void TearDown() override {
    if (settings == nullptr) return;
    if (repository != nullptr) Repository_Destroy(&repository);
    Dictionary_Release(&settings);
    NetTest_StopLoopbackServices();
    NetTest::TearDown();
  }
  // A repository configured from the JSON object text, with this
  // fixture's settings and log.
  Repository *Make(const std::string &json) {
    if (repository != nullptr) Repository_Destroy(&repository);
    lines.clear();
    Repository_Create(&repository);
    Repository_SetLogSink(repository, static_cast<StorageLogLines *>(this), Hook);
    Dictionary *config = NetTest_Dictionary(json);
    Repository_SetConfiguration(repository, config);
    Dictionary_Release(&config);
    Repository_SetLimits(repository, settings);
    Repository_SetEventQueue(repository, EventQueue_GetMain());
    return repository;
  }
  // One pass of the repository task until done() holds (at most 20 s).
  bool Pump(const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      NetTest_Pump();
      if (repository != nullptr) Repository_Process(repository);
      Thread_Yield();
    }
    return true;
  }
  // Runs Refresh to its end; the final state word.
  uint32_t Refresh() {
    Repository_SetActive(repository, 1);
    Repository_SetRefresh(repository, 1);
    EXPECT_TRUE(Pump([&] {
      return !(repository->actionFlags & kRepositoryActionRefresh) &&
             !(repository->stateFlags & kRepositoryStateRefresh);
    }));
    return repository->stateFlags;
  }
  static std::string Url(const std::string &path) { return server_->Url(path); }
  static std::string Tree(const std::string &path) { return server_->Tree(path); }
  static NginxPortsPeer *Nginx() { return &server_->Nginx(); }

  // Documents unsigned unless a test enforces authentication.
  AuthSwitchGuardForTest auth{0};
  static inline ContentTreeServer *server_ = nullptr;
  Dictionary *settings = nullptr;
  Repository *repository = nullptr;
};
