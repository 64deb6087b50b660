// Two machines (processes with their own home and data directories) signed
// in to one mailbox of the Dovecot fixture, driven through sync_driver.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "DovecotServer.h"
#include "SyncMachine.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "sync/PartHeaders.h"

namespace {

const char kUser[] = "two@example.com";
const char kPassword[] = "secret";
using Clock = std::chrono::steady_clock;

// Path -> size ("D" folders have size -1), from a machine's folder cache.
using Listing = SyncMachine::Listing;

std::string Native(const std::string& drive_path) { return NativePath(drive_path).substr(1); }

// What Python's imaplib finds in the folder.
struct Mailbox {
  int messages = -1;
  int indexes = 0;
  int strays = 0;
  std::map<std::string, int> parts;  // "id part" -> copies
  int PartMessages() const {
    int n = 0;
    for (const auto& [key, copies] : parts) n += copies;
    return n;
  }
};

class SyncTwoMachines : public ::testing::Test {
 protected:
  void SetUp() override {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    a_ = NewMachine("a");
    b_ = NewMachine("b");
    ASSERT_TRUE(a_ && b_);
  }

  void TearDown() override {
    if (HasFailure()) {
      if (a_) std::fprintf(stderr, "--- log of A\n%s\n", a_->LogText().c_str());
      if (b_) std::fprintf(stderr, "--- log of B\n%s\n", b_->LogText().c_str());
    }
  }

  std::unique_ptr<SyncMachine> NewMachine(const std::string& name) {
    auto m = std::make_unique<SyncMachine>(tmp_.Sub(name));
    if (!m->Launch()) return nullptr;
    if (!m->Run("setup " + std::string(kUser) + " " + kPassword + " " + std::to_string(Port()))) {
      return nullptr;
    }
    return m;
  }

  virtual int Port() { return server_.ImapPort(); }

  static bool Do(SyncMachine& m, const std::string& command) {
    bool ok = m.Run(command);
    EXPECT_TRUE(ok) << command;
    return ok;
  }

  static Listing List(SyncMachine& m) { return m.List(); }
  static int Pending(SyncMachine& m) { return m.Pending(); }
  bool Converge(int max_rounds = 12) {
    return SyncMachine::Converge({a_.get(), b_.get()}, max_rounds);
  }

  // Every file both machines list has the same bytes in both caches.
  void ExpectSameBytes(const Listing& listing) {
    for (const auto& [path, size] : listing) {
      std::string native_a = a_->CacheDir() + Native(path);
      std::string native_b = b_->CacheDir() + Native(path);
      if (size < 0) {
        EXPECT_TRUE(DirExists(native_b)) << path;
        continue;
      }
      std::string bytes_a = ReadFileBytes(native_a), bytes_b = ReadFileBytes(native_b);
      EXPECT_EQ(static_cast<long long>(bytes_a.size()), size) << path;
      EXPECT_TRUE(bytes_a == bytes_b) << path << " differs";
    }
  }

  Mailbox CheckMailbox() {
    Mailbox box;
    std::string command = "python3 " + std::string(MAILBOX_CHECK_PATH) + " 127.0.0.1 " +
                          std::to_string(Port()) + " " + kUser + " " + kPassword;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return box;
    char line[256];
    while (fgets(line, sizeof line, pipe) != nullptr) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      if (text.rfind("messages ", 0) == 0) box.messages = atoi(text.c_str() + 9);
      if (text.rfind("index ", 0) == 0) ++box.indexes;
      if (text == "stray") ++box.strays;
      if (text.rfind("part ", 0) == 0) {
        size_t last = text.rfind(' ');
        ++box.parts[text.substr(5, last - 5)];
      }
    }
    pclose(pipe);
    return box;
  }

  // Appends a message file made here (a stray mail, a hand-made index).
  bool AppendFile(const std::string& path) {
    ImapClient client;
    return client.Connect("127.0.0.1", Port(), false) && client.Login(kUser, kPassword) &&
           (client.Select("tandrel") || (client.Create("tandrel") && client.Select("tandrel"))) &&
           client.Append("tandrel", path);
  }

  DovecotServer server_;
  TempDir tmp_{"two"};
  std::unique_ptr<SyncMachine> a_;
  std::unique_ptr<SyncMachine> b_;
};

TEST_F(SyncTwoMachines, FilesOfEverySizeArriveIdentical) {
  Do(*a_, "gen \\empty 0 1");
  Do(*a_, "gen \\one.bin 1 2");
  Do(*a_, "mkdir \\docs");
  Do(*a_, "gen \\docs\\ten.bin 10485760 3");
  Do(*a_, "gen \\docs\\big.bin 25000000 4");
  ASSERT_TRUE(Converge());
  Listing b = List(*b_);
  Listing expected{{"\\empty", 0},
                   {"\\one.bin", 1},
                   {"\\docs", -1},
                   {"\\docs\\ten.bin", 10485760},
                   {"\\docs\\big.bin", 25000000}};
  EXPECT_EQ(b, expected);
  ExpectSameBytes(b);
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.messages, 7);
  EXPECT_EQ(box.indexes, 1);
  EXPECT_EQ(box.strays, 0);
  EXPECT_EQ(box.parts.size(), 6u);
  EXPECT_EQ(box.PartMessages(), 6);
}

TEST_F(SyncTwoMachines, NamespaceChangesReachTheOtherMachine) {
  Do(*a_, "mkdir \\a");
  Do(*a_, "mkdir \\a\\b");
  Do(*a_, "gen \\a\\f1 100 1");
  Do(*a_, "gen \\a\\b\\f2 200 2");
  Do(*a_, "gen \\del.txt 300 3");
  Do(*a_, "mkdir \\gone");
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(FileExists(b_->CacheDir() + "del.txt"));

  Do(*a_, "regen \\a\\f1 150 7");  // an edit: new content under the same name
  ASSERT_TRUE(Converge());
  EXPECT_EQ(List(*b_)["\\a\\f1"], 150);
  ExpectSameBytes(List(*b_));

  Do(*a_, "delete \\del.txt");
  Do(*a_, "rmdir \\gone");
  Do(*a_, "mvfile \\a\\f1 \\a\\b\\renamed");
  Do(*a_, "mvdir \\a\\b \\moved");
  ASSERT_TRUE(Converge());
  Listing b = List(*b_);
  Listing expected{{"\\a", -1}, {"\\moved", -1}, {"\\moved\\renamed", 150}, {"\\moved\\f2", 200}};
  EXPECT_EQ(b, expected);
  ExpectSameBytes(b);
  EXPECT_FALSE(FileExists(b_->CacheDir() + "del.txt"));
  EXPECT_FALSE(DirExists(b_->CacheDir() + "gone"));
  EXPECT_FALSE(DirExists(b_->CacheDir() + "a/b"));
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.PartMessages(), 2);
  EXPECT_EQ(box.indexes, 1);
  EXPECT_EQ(box.messages, 3);
}

TEST_F(SyncTwoMachines, DeleteRightAfterTheAppendStillRemovesTheMessages) {
  Do(*a_, "gen \\quick.bin 12000000 3");
  ASSERT_TRUE(a_->Run("step"));  // appended, mail ids not known yet
  Do(*a_, "delete \\quick.bin");
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(List(*b_).empty());
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.PartMessages(), 0);
  EXPECT_EQ(box.indexes, 1);
}

TEST_F(SyncTwoMachines, ChineseNamesTravelUnchanged) {
  Do(*a_, "mkdir \\报告");
  Do(*a_, "gen \\报告\\年度%20总结.txt 1000 5");
  ASSERT_TRUE(Converge());
  Listing b = List(*b_);
  EXPECT_EQ(b.count("\\报告\\年度 总结.txt"), 1u);
  ExpectSameBytes(b);
  EXPECT_TRUE(FileExists(b_->CacheDir() + "报告/年度 总结.txt"));
}

TEST_F(SyncTwoMachines, ConcurrentChangesOnBothMachinesAreAllKept) {
  Do(*a_, "mkdir \\shared");
  Do(*a_, "gen \\shared\\same.txt 100 1");
  Do(*a_, "gen \\a-only.txt 50 2");
  Do(*a_, "mkdir \\afolder");
  Do(*a_, "gen \\afolder\\x 10 3");
  Do(*b_, "mkdir \\shared");
  Do(*b_, "gen \\shared\\same.txt 120 9");
  Do(*b_, "gen \\b-only.txt 60 4");
  Do(*b_, "mkdir \\bfolder");
  Do(*b_, "gen \\bfolder\\y 20 5");
  ASSERT_TRUE(Converge(16));
  Listing a = List(*a_), b = List(*b_);
  EXPECT_EQ(a, b);
  std::set<long long> same_sizes;
  int files = 0;
  for (const auto& [path, size] : b) {
    if (size >= 0) ++files;
    if (path.rfind("\\shared\\same", 0) == 0) same_sizes.insert(size);
  }
  EXPECT_EQ(files, 6);
  EXPECT_EQ(b.count("\\shared\\same.txt"), 1u);
  EXPECT_EQ(same_sizes, (std::set<long long>{100, 120}));
  bool has_conflict = false;
  for (const auto& [path, size] : b) {
    has_conflict = has_conflict || path.find("same (conflict ") != std::string::npos;
  }
  EXPECT_TRUE(has_conflict);
  for (const char* p : {"\\a-only.txt", "\\b-only.txt", "\\afolder\\x", "\\bfolder\\y"}) {
    EXPECT_EQ(b.count(p), 1u) << p;
  }
  ExpectSameBytes(b);
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.PartMessages(), 6);
  EXPECT_EQ(box.indexes, 1);
}

TEST_F(SyncTwoMachines, KilledDuringUploadLosesNothing) {
  ASSERT_TRUE(a_->Run("start 50 300"));
  Do(*a_, "gen \\big.bin 25000000 8");
  // Wait until the second part is on its way, then kill without warning.
  bool in_flight = false;
  for (auto deadline = Clock::now() + std::chrono::seconds(120); Clock::now() < deadline;) {
    std::string line = a_->RunLine("uploading");
    if (line.find("2部分") != std::string::npos) {
      in_flight = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(in_flight);
  a_->Kill();
  a_ = NewMachine("a");
  ASSERT_TRUE(a_);
  ASSERT_TRUE(Converge(20));
  Listing b = List(*b_);
  EXPECT_EQ(b, (Listing{{"\\big.bin", 25000000}}));
  ExpectSameBytes(b);
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.parts.size(), 3u);
  EXPECT_EQ(box.PartMessages(), 3);
}

TEST_F(SyncTwoMachines, OnePassOnAnOpenSessionSeesWhatArrivedSinceTheLast) {
  ASSERT_TRUE(b_->Run("pass"));  // B's session is open and has the folder selected
  Do(*a_, "gen \\new.txt 10 1");
  ASSERT_TRUE(a_->Run("step"));
  ASSERT_TRUE(b_->Run("pass"));
  EXPECT_EQ(List(*b_).count("\\new.txt"), 1u);
}

TEST_F(SyncTwoMachines, StrayMailDoesNotStopLearning) {
  std::string stray = tmp_.Sub("stray.eml");
  WriteFileBytes(stray, "From: someone@example.com\r\nSubject: hello\r\n\r\njust a mail\r\n");
  ASSERT_TRUE(AppendFile(stray));
  Do(*a_, "gen \\after.txt 10 1");
  ASSERT_TRUE(Converge());
  EXPECT_EQ(List(*b_).count("\\after.txt"), 1u);
  Do(*a_, "gen \\later.txt 20 2");
  ASSERT_TRUE(Converge());
  EXPECT_EQ(List(*b_).count("\\later.txt"), 1u);
  EXPECT_EQ(CheckMailbox().strays, 1);  // passed over, never deleted
}

TEST_F(SyncTwoMachines, APartWhoseMessageVanishedBeforeItsDownloadIsPassedOver) {
  // Fresh mailbox: the first file's part is UID 1, its index UID 2.
  Do(*a_, "gen \\first.bin 100 1");
  ASSERT_TRUE(a_->Run("step"));
  Do(*a_, "gen \\second.bin 200 2");
  ASSERT_TRUE(a_->Run("step"));
  ASSERT_TRUE(b_->Run("refresh"));  // both parts known, none downloaded
  {
    ImapClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port(), false) && client.Login(kUser, kPassword) &&
                client.Select("tandrel"));
    ASSERT_TRUE(client.Delete({"1"}));
  }
  // The fetch of the vanished part comes back empty; the next one must still
  // be fetched and the process must live on.
  ASSERT_TRUE(b_->Run("download"));
  ASSERT_TRUE(b_->Run("download"));
  Listing b = List(*b_);
  EXPECT_EQ(b.count("\\first.bin"), 0u);
  EXPECT_EQ(b["\\second.bin"], 200);
}

// Every file below root lies in the cache or the data directory.
void CollectFiles(const std::string& dir, std::vector<std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    out.push_back(path);
    if (S_ISDIR(st.st_mode)) CollectFiles(path, out);
  }
  closedir(d);
}

TEST_F(SyncTwoMachines, HandMadeIndexWritesNothingOutsideTheCache) {
  std::string unique = "tandrel-escape-" + std::to_string(getpid());
  std::string deep;
  for (int i = 0; i < 16; ++i) deep += "..\\";
  std::string text =
      "[folder]\r\n1|0|\\|\\\r\n2|1|..|\\..\\\r\n3|1|..\\..\\x|\\..\\..\\x\\\r\n"
      "4|1|ok|\\ok\\\r\n5|1|y|\\..\\..\\y\\\r\n6|1|" +
      deep + unique + "|\\" + deep + unique + "\\\r\n\r\n[ftable]\r\n10|2|evil.txt\r\n11|4|" +
      deep + unique + "\r\n12|4|good.txt\r\n13|6|deep.txt\r\n";
  std::string folder_txt = tmp_.Sub("folder.txt");
  WriteFileBytes(folder_txt, text);
  auto make = [&](const FileRecord& record, const std::string& eml) {
    EmlWriter writer(PartHeaders::ToMessage(record, record.cache_path));
    int length = 0;
    return writer.SaveToEml(eml, length) && AppendFile(eml);
  };
  FileRecord index;
  index.name = "folder.txt";
  index.kind = RecordKind::kFolderIndex;
  index.from = index.to = kUser;
  index.cache_path = folder_txt;
  index.part = index.total_part = 1;
  index.file_id = 100;
  index.size = index.total_size = static_cast<int>(text.size());
  index.md5 = "0";
  // Parts for every file id of the index: the good one must arrive.
  for (int id : {10, 11, 12, 13}) {
    std::string content = tmp_.Sub("c" + std::to_string(id));
    WriteFileBytes(content, "payload " + std::to_string(id));
    FileRecord part;
    part.name = id == 12 ? "good.txt" : "whatever";
    part.kind = RecordKind::kFilePart;
    part.from = part.to = kUser;
    part.cache_path = content;
    part.file_id = id;
    part.part = part.total_part = 1;
    part.size = part.total_size = static_cast<int>(ReadFileBytes(content).size());
    part.md5 = "m" + std::to_string(id);
    ASSERT_TRUE(make(part, tmp_.Sub("p" + std::to_string(id) + ".eml")));
  }
  ASSERT_TRUE(make(index, tmp_.Sub("index.eml")));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(b_->Run("pass"));
  }
  Listing b = List(*b_);
  EXPECT_EQ(b, (Listing{{"\\ok", -1}, {"\\ok\\good.txt", 10}}));
  std::string cache = b_->CacheDir();
  EXPECT_EQ(ReadFileBytes(cache + "ok/good.txt"), "payload 12");
  std::vector<std::string> files;
  CollectFiles(b_->Root(), files);
  std::string data = b_->Root() + "/share/tandrel";
  for (const auto& path : files) {
    bool inside = path.rfind(cache, 0) == 0 || path.rfind(data, 0) == 0 ||
                  cache.rfind(path + "/", 0) == 0 || data.rfind(path + "/", 0) == 0 ||
                  path == b_->Root() + "/config";
    EXPECT_TRUE(inside) << path;
  }
  EXPECT_FALSE(FileExists("/" + unique));
  EXPECT_FALSE(FileExists("/tmp/" + unique));
}

TEST_F(SyncTwoMachines, DovecotRestartedDuringSyncBothRecover) {
  ASSERT_TRUE(a_->Run("start 50 200"));
  ASSERT_TRUE(b_->Run("start 50 200"));
  Do(*a_, "gen \\one 1000 1");
  auto wait_for = [&](const std::string& path) {
    for (auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
      if (List(*b_).count(path) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  ASSERT_TRUE(wait_for("\\one"));
  Do(*a_, "gen \\two 12000000 2");  // its upload is cut by the restart or follows it
  ASSERT_TRUE(server_.Restart()) << server_.Error();
  Do(*a_, "gen \\three 3000 3");
  ASSERT_TRUE(wait_for("\\two"));
  ASSERT_TRUE(wait_for("\\three"));
  ASSERT_TRUE(a_->Run("stop"));
  ASSERT_TRUE(b_->Run("stop"));
  ExpectSameBytes(List(*b_));
}

}  // namespace
