#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "AppTestEnv.h"
#include "app/CtandrelApp.h"
#include "app/InstanceLock.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"

extern char** environ;

namespace {

// A child tandrel with its stderr in a file; killed if the test leaves it.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& err_path) {
    std::vector<char*> argv;
    std::string path = TANDREL_APP_PATH;
    argv.push_back(path.data());
    args_ = args;
    for (std::string& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it did not end in time.
  int Wait(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t pid() const { return pid_; }

 private:
  std::vector<std::string> args_;
  pid_t pid_ = -1;
};

bool LockHeldElsewhere() {
  InstanceLock probe;
  return !probe.Acquire();
}

TEST(StartupTest, OnlyTheExactWordStartRuns) {
  EXPECT_TRUE(CtandrelApp::IsStartCommand({"start"}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({"start "}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({"START"}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({""}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({"start", "start"}));
  EXPECT_FALSE(CtandrelApp::IsStartCommand({std::string("start\0", 6)}));
}

TEST(StartupTest, OtherCommandLinesOpenNoDialogAndSayHowToStart) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"start "}, {"START"}, {}}) {
    std::string err = env.Sub("err.txt");
    Child child(args, err);
    ASSERT_EQ(child.Wait(20000), 2);
    EXPECT_EQ(ReadFileBytes(err), CtandrelApp::kUsage);
    EXPECT_FALSE(LockHeldElsewhere()) << "no instance was started";
  }
}

TEST(StartupTest, ASecondInstanceEndsAtOnceAndLeavesTheFirst) {
  AppTestEnv env;
  ASSERT_TRUE(env.ok());
  Child first({"start"}, env.Sub("first.txt"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!LockHeldElsewhere() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(LockHeldElsewhere()) << ReadFileBytes(env.Sub("first.txt"));

  Child second({"start"}, env.Sub("second.txt"));
  EXPECT_EQ(second.Wait(20000), 0);
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(LockHeldElsewhere());

  // SIGTERM ends the first one as "退出" would.
  ::kill(first.pid(), SIGTERM);
  EXPECT_EQ(first.Wait(20000), 0) << ReadFileBytes(env.Sub("first.txt"));
  EXPECT_FALSE(LockHeldElsewhere());
}

TEST(StartupTest, TemplateCopiedOnceAndTheDocumentsFolderBecomesTheCache) {
  AppTestEnv env;  // prepares once
  ASSERT_TRUE(env.ok());
  std::string db = DataDir() + "/tandrel.db";
  ASSERT_TRUE(FileExists(db));
  {
    MetaStore store;
    SettingRecord setting;
    ASSERT_TRUE(store.ReadSetting(setting));
    EXPECT_EQ(setting.data_dir, env.Documents() + "/");
    AccountRecord account;
    account.user = "kept@example.org";
    account.down_server = "imap.example.org";
    ASSERT_TRUE(store.AddAccount(account));
    setting.data_dir = env.Sub("elsewhere") + "/";
    ASSERT_TRUE(store.UpdateSetting(setting));
  }
  ASSERT_TRUE(CtandrelApp::Prepare(ProgramDir()));
  MetaStore store;
  AccountRecord account;
  EXPECT_TRUE(store.GetAccount("kept@example.org", account)) << "never overwritten";
  SettingRecord setting;
  ASSERT_TRUE(store.ReadSetting(setting));
  EXPECT_EQ(setting.data_dir, env.Sub("elsewhere") + "/");
}

}  // namespace
