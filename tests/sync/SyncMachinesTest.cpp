// Two and three machines in this process, each a real engine with its own
// data directory and cache, signed in to one mailbox of the Dovecot fixture
// through a proxy of its own; judged by their listings (path, size, digest).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "SyncMachinesFixture.h"
#include "TempDir.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "sync/PartHeaders.h"

namespace {

TEST_F(SyncMachines, FilesOfEverySizeArriveIdentical) {
  ASSERT_TRUE(a_->Write("\\empty", ""));
  ASSERT_TRUE(a_->Write("\\one.bin", Bytes(1, 2)));
  ASSERT_TRUE(a_->Mkdir("\\docs"));
  ASSERT_TRUE(a_->Write("\\docs\\ten.bin", Bytes(10485760, 3)));
  ASSERT_TRUE(a_->Write("\\docs\\big.bin", Bytes(25000000, 4)));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{{"\\empty", 0},
                                                                 {"\\one.bin", 1},
                                                                 {"\\docs", -1},
                                                                 {"\\docs\\ten.bin", 10485760},
                                                                 {"\\docs\\big.bin", 25000000}}));
  Mailbox box = Box();
  EXPECT_EQ(box.messages, 7);
  EXPECT_EQ(box.indexes, 1);
  EXPECT_EQ(box.strays, 0);
  EXPECT_EQ(box.parts.size(), 6u);
  EXPECT_EQ(box.PartMessages(), 6);
}

TEST_F(SyncMachines, NamespaceChangesReachTheOtherMachine) {
  for (const char* folder : {"\\a", "\\a\\b", "\\gone"}) ASSERT_TRUE(a_->Mkdir(folder));
  ASSERT_TRUE(a_->Write("\\a\\f1", Bytes(100, 1)));
  ASSERT_TRUE(a_->Write("\\a\\b\\f2", Bytes(200, 2)));
  ASSERT_TRUE(a_->Write("\\del.txt", Bytes(300, 3)));
  ASSERT_TRUE(Converge());
  ASSERT_EQ(b_->List(), a_->List());

  ASSERT_TRUE(a_->Write("\\a\\f1", Bytes(150, 7)));  // an edit under the same name
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(b_->Read("\\a\\f1"), Bytes(150, 7));

  ASSERT_TRUE(a_->Remove("\\del.txt"));
  ASSERT_TRUE(a_->Rmdir("\\gone"));
  ASSERT_TRUE(a_->Move("\\a\\f1", "\\a\\b\\renamed"));
  ASSERT_TRUE(a_->MoveFolder("\\a\\b", "\\moved"));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{
                                   {"\\a", -1}, {"\\moved", -1}, {"\\moved\\renamed", 150},
                                   {"\\moved\\f2", 200}}));
  EXPECT_FALSE(FileExists(b_->CacheDir() + "del.txt"));
  EXPECT_FALSE(DirExists(b_->CacheDir() + "gone"));
  EXPECT_FALSE(DirExists(b_->CacheDir() + "a/b"));
  // The deleted file and the edited one's first content stay (trash,
  // version) until they are let go.
  EXPECT_EQ(Box().PartMessages(), 4);
  ASSERT_TRUE(b_->EmptyTrash());
  ASSERT_TRUE(Converge());
  Mailbox box = Box();
  EXPECT_EQ(box.PartMessages(), 2);
  EXPECT_EQ(box.indexes, 1);
  EXPECT_EQ(box.messages, 3);
}

TEST_F(SyncMachines, DeleteRightAfterTheAppendStillRemovesTheMessages) {
  ASSERT_TRUE(a_->Write("\\quick.bin", Bytes(12000000, 3)));
  ASSERT_TRUE(a_->Step());  // appended, mail ids not known yet
  ASSERT_TRUE(a_->Remove("\\quick.bin"));
  ASSERT_TRUE(Converge());
  EXPECT_TRUE(b_->List().empty());
  ASSERT_TRUE(a_->EmptyTrash());
  ASSERT_TRUE(Converge());
  Mailbox box = Box();
  EXPECT_EQ(box.PartMessages(), 0);
  EXPECT_EQ(box.indexes, 1);
}

TEST_F(SyncMachines, ChineseNamesTravelUnchanged) {
  ASSERT_TRUE(a_->Mkdir("\\报告"));
  ASSERT_TRUE(a_->Write("\\报告\\年度 总结.txt", Bytes(1000, 5)));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List().count("\\报告\\年度 总结.txt"), 1u);
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_TRUE(FileExists(b_->CacheDir() + "报告/年度 总结.txt"));
}

TEST_F(SyncMachines, ConcurrentChangesOnBothMachinesAreAllKept) {
  for (EngineMachine* m : {a_.get(), b_.get()}) ASSERT_TRUE(m->Mkdir("\\shared"));
  ASSERT_TRUE(a_->Write("\\shared\\same.txt", Bytes(100, 1)));
  ASSERT_TRUE(a_->Write("\\a-only.txt", Bytes(50, 2)));
  ASSERT_TRUE(a_->Mkdir("\\afolder"));
  ASSERT_TRUE(a_->Write("\\afolder\\x", Bytes(10, 3)));
  ASSERT_TRUE(b_->Write("\\shared\\same.txt", Bytes(120, 9)));
  ASSERT_TRUE(b_->Write("\\b-only.txt", Bytes(60, 4)));
  ASSERT_TRUE(b_->Mkdir("\\bfolder"));
  ASSERT_TRUE(b_->Write("\\bfolder\\y", Bytes(20, 5)));
  ASSERT_TRUE(Converge(16));
  Listing b = b_->List();
  EXPECT_EQ(a_->List(), b);
  std::set<long long> same_sizes;
  int files = 0;
  bool has_conflict = false;
  for (const auto& [path, entry] : b) {
    if (entry.size >= 0) ++files;
    if (path.rfind("\\shared\\same", 0) == 0) same_sizes.insert(entry.size);
    has_conflict = has_conflict || path.find("same (conflict ") != std::string::npos;
  }
  EXPECT_EQ(files, 6);
  EXPECT_EQ(b.count("\\shared\\same.txt"), 1u);
  EXPECT_EQ(same_sizes, (std::set<long long>{100, 120}));
  EXPECT_TRUE(has_conflict);
  for (const char* p : {"\\a-only.txt", "\\b-only.txt", "\\afolder\\x", "\\bfolder\\y"})
    EXPECT_EQ(b.count(p), 1u) << p;
  Mailbox box = Box();
  EXPECT_EQ(box.PartMessages(), 6);
  EXPECT_EQ(box.indexes, 1);
}

TEST_F(SyncMachines, ThreeMachinesAgreeOnEveryChange) {
  std::unique_ptr<EngineMachine> c = NewMachine("c");
  ASSERT_TRUE(c);
  std::vector<EngineMachine*> all{a_.get(), b_.get(), c.get()};
  ASSERT_TRUE(a_->Mkdir("\\team"));
  ASSERT_TRUE(a_->Write("\\team\\plan.txt", Bytes(4000, 1)));
  ASSERT_TRUE(EngineMachine::Converge(all));
  ASSERT_TRUE(b_->Write("\\team\\plan.txt", Bytes(4100, 2)));
  ASSERT_TRUE(c->Write("\\notes.txt", Bytes(300, 3)));
  ASSERT_TRUE(EngineMachine::Converge(all, 16));
  ASSERT_TRUE(c->Move("\\team\\plan.txt", "\\plan-final.txt"));
  ASSERT_TRUE(EngineMachine::Converge(all));
  for (EngineMachine* m : all) {
    EXPECT_EQ(Sizes(m->List()), (std::map<std::string, long long>{
                                    {"\\team", -1}, {"\\plan-final.txt", 4100},
                                    {"\\notes.txt", 300}}));
    EXPECT_EQ(m->Read("\\plan-final.txt"), Bytes(4100, 2));
  }
}

TEST_F(SyncMachines, OnePassOnAnOpenSessionSeesWhatArrivedSinceTheLast) {
  b_->Pass();  // B's session is open and has the folder selected
  ASSERT_TRUE(a_->Write("\\new.txt", Bytes(10, 1)));
  ASSERT_TRUE(a_->Step());
  b_->Pass();
  EXPECT_EQ(b_->List().count("\\new.txt"), 1u);
}

TEST_F(SyncMachines, StrayMailDoesNotStopLearning) {
  std::string stray = tmp_.Sub("stray.eml");
  WriteFileBytes(stray, "From: someone@example.com\r\nSubject: hello\r\n\r\njust a mail\r\n");
  ASSERT_TRUE(AppendFile(stray));
  ASSERT_TRUE(a_->Write("\\after.txt", Bytes(10, 1)));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(a_->Write("\\later.txt", Bytes(20, 2)));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(b_->List().count("\\later.txt"), 1u);
  EXPECT_EQ(Box().strays, 1);  // passed over, never deleted
}

TEST_F(SyncMachines, APartWhoseMessageVanishedBeforeItsDownloadIsPassedOver) {
  // Fresh mailbox: the first file's part is UID 1, its index UID 2.
  ASSERT_TRUE(a_->Write("\\first.bin", Bytes(100, 1)));
  ASSERT_TRUE(a_->Step());
  ASSERT_TRUE(a_->Write("\\second.bin", Bytes(200, 2)));
  ASSERT_TRUE(a_->Step());
  ASSERT_TRUE(b_->engine().Refresh());  // both parts known, none downloaded
  {
    ImapClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server_.ImapPort(), false) &&
                client.Login(kUser, kPassword) && client.Select("tandrel"));
    ASSERT_TRUE(client.Delete({"1"}));
  }
  // The fetch of the vanished part comes back empty; the next one must still
  // be fetched.
  b_->engine().DownloadPending();
  b_->engine().DownloadPending();
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{{"\\second.bin", 200}}));
}

// Every file below dir.
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

// A hand-made message: the part header of record over the file at its
// cache_path.
bool MakeMessage(const FileRecord& record, const std::string& eml) {
  EmlWriter writer(PartHeaders::ToMessage(record, record.cache_path));
  int length = 0;
  return writer.SaveToEml(eml, length);
}

TEST_F(SyncMachines, HandMadeIndexWritesNothingOutsideTheCache) {
  std::string unique = "tandrel-escape-" + std::to_string(getpid());
  std::string deep;
  for (int i = 0; i < 16; ++i) deep += "..\\";
  std::string text =
      "[folder]\r\n1|0|\\|\\\r\n2|1|..|\\..\\\r\n3|1|..\\..\\x|\\..\\..\\x\\\r\n"
      "4|1|ok|\\ok\\\r\n5|1|y|\\..\\..\\y\\\r\n6|1|" +
      deep + unique + "|\\" + deep + unique + "\\\r\n\r\n[ftable]\r\n10|2|evil.txt\r\n11|4|" +
      deep + unique + "\r\n12|4|good.txt\r\n13|6|deep.txt\r\n";
  FileRecord index;
  index.name = "folder.txt";
  index.kind = RecordKind::kFolderIndex;
  index.from = index.to = kUser;
  index.cache_path = tmp_.Sub("folder.txt");
  WriteFileBytes(index.cache_path, text);
  index.part = index.total_part = 1;
  index.file_id = 100;
  index.size = index.total_size = static_cast<int>(text.size());
  index.md5 = "0";
  // Parts for every file id of the index: the good one must arrive.
  for (int id : {10, 11, 12, 13}) {
    FileRecord part;
    part.name = id == 12 ? "good.txt" : "whatever";
    part.kind = RecordKind::kFilePart;
    part.from = part.to = kUser;
    part.cache_path = tmp_.Sub("c" + std::to_string(id));
    WriteFileBytes(part.cache_path, "payload " + std::to_string(id));
    part.file_id = id;
    part.part = part.total_part = 1;
    part.size = part.total_size = static_cast<int>(ReadFileBytes(part.cache_path).size());
    int64_t size = 0;
    int time = 0;
    ASSERT_TRUE(GetFileMd5(part.cache_path, size, time, part.md5));  // content is checked
    std::string eml = tmp_.Sub("p" + std::to_string(id) + ".eml");
    ASSERT_TRUE(MakeMessage(part, eml) && AppendFile(eml));
  }
  ASSERT_TRUE(MakeMessage(index, tmp_.Sub("index.eml")) && AppendFile(tmp_.Sub("index.eml")));
  for (int i = 0; i < 3; ++i) b_->Pass();
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{{"\\ok", -1}, {"\\ok\\good.txt", 10}}));
  EXPECT_EQ(b_->Read("\\ok\\good.txt"), "payload 12");
  std::string cache = b_->CacheDir(), data = b_->Root() + "/data";
  std::vector<std::string> files;
  CollectFiles(b_->Root(), files);
  for (const auto& path : files) {
    bool inside = path.rfind(cache, 0) == 0 || path.rfind(data, 0) == 0 ||
                  cache.rfind(path + "/", 0) == 0 || data.rfind(path + "/", 0) == 0;
    EXPECT_TRUE(inside) << path;
  }
  EXPECT_FALSE(FileExists("/" + unique));
  EXPECT_FALSE(FileExists("/tmp/" + unique));
}

// Waits until the machine lists path.
bool Shows(EngineMachine& m, const std::string& path) {
  for (auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
    if (m.List().count(path) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST_F(SyncMachines, DovecotRestartedDuringSyncBothRecover) {
  ASSERT_TRUE(a_->Start(50, 200));
  ASSERT_TRUE(b_->Start(50, 200));
  ASSERT_TRUE(a_->Write("\\one", Bytes(1000, 1)));
  ASSERT_TRUE(Shows(*b_, "\\one"));
  ASSERT_TRUE(a_->Write("\\two", Bytes(12000000, 2)));  // cut by the restart or after it
  ASSERT_TRUE(server_.Restart()) << server_.Error();
  ASSERT_TRUE(a_->Write("\\three", Bytes(3000, 3)));
  ASSERT_TRUE(Shows(*b_, "\\two"));
  ASSERT_TRUE(Shows(*b_, "\\three"));
  a_->Stop();
  b_->Stop();
  EXPECT_EQ(b_->Read("\\two"), Bytes(12000000, 2));
  EXPECT_EQ(b_->Read("\\three"), Bytes(3000, 3));
}

TEST_F(SyncMachines, AMachineOfflineForAWhileCatchesUpAndKeepsItsNewFiles) {
  ASSERT_TRUE(a_->Write("\\base.txt", Bytes(500, 1)));
  ASSERT_TRUE(Converge());
  a_->Cut();
  ASSERT_TRUE(a_->Write("\\from-a.txt", Bytes(700, 2)));
  a_->Step();  // fails offline: the file waits
  a_->Pass();
  EXPECT_GT(a_->Pending(), 0);
  ASSERT_TRUE(b_->Write("\\from-b.txt", Bytes(800, 3)));
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  a_->Restore();
  a_->Later(10 * 60 * 1000);
  ASSERT_TRUE(Converge(16));
  EXPECT_EQ(a_->List(), b_->List());
  EXPECT_EQ(Sizes(b_->List()), (std::map<std::string, long long>{
                                   {"\\base.txt", 500}, {"\\from-a.txt", 700},
                                   {"\\from-b.txt", 800}}));
}

// The loss that "the newest index wins" makes: A, offline, edits one file
// and renames another while B edits a third and leaves. When A is back, its
// own index meets B's: B's edit and A's rename must both survive.
TEST_F(SyncMachines, OfflineChangesOnBothSidesAllSurvive) {
  ASSERT_TRUE(a_->Write("\\f.txt", Bytes(100, 1)));
  ASSERT_TRUE(a_->Write("\\g.txt", Bytes(200, 2)));
  ASSERT_TRUE(a_->Write("\\h0.txt", Bytes(300, 3)));
  ASSERT_TRUE(Converge());
  a_->Cut();
  ASSERT_TRUE(a_->Write("\\g.txt", Bytes(210, 4)));
  ASSERT_TRUE(a_->Move("\\h0.txt", "\\h1.txt"));
  a_->Step();
  ASSERT_TRUE(b_->Write("\\f.txt", Bytes(110, 5)));
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  b_.reset();  // B shuts down for good
  a_->Restore();
  a_->Later(10 * 60 * 1000);
  for (int i = 0; i < 4; ++i) {
    a_->Step();
    a_->Pass();
  }
  EXPECT_EQ(Sizes(a_->List()), (std::map<std::string, long long>{
                                   {"\\f.txt", 110}, {"\\g.txt", 210}, {"\\h1.txt", 300}}));
  EXPECT_EQ(a_->Read("\\f.txt"), Bytes(110, 5));
}

}  // namespace
