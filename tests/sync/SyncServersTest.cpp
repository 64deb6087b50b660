// Two machines and the mailbox read back with Python's imaplib, on each real
// server and folder layout the program meets: Dovecot with folders at the
// top, Dovecot with personal folders under "INBOX.", Cyrus IMAP and GNU
// mailutils' imap4d on maildir and on mbox.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "CyrusServer.h"
#include "DovecotServer.h"
#include "Imap4dServer.h"
#include "SyncMachine.h"
#include "TempDir.h"
#include "platform/FileHelpers.h"

namespace {

const char kUser[] = "two@example.com";
const char kPassword[] = "secret";

enum class Server { kDovecot, kDovecotInbox, kCyrus, kImap4dMaildir, kImap4dMbox };

using Listing = SyncMachine::Listing;

// What Python's imaplib finds in the folder.
struct Mailbox {
  int messages = -1;
  int indexes = 0;
  int strays = 0;
  int part_messages = 0;
  std::map<std::string, int> parts;          // "id part" -> copies
  std::map<std::string, std::string> flags;  // uid -> flags
};

class SyncServers : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    if (GetParam() == Server::kCyrus) {
      cyrus_ = std::make_unique<CyrusServer>();
      TANDREL_START_CYRUS(*cyrus_);
      ASSERT_TRUE(cyrus_->AddUser(kUser, kPassword));
      port_ = cyrus_->ImapPort();
      folder_ = "INBOX/tandrel";
    } else if (GetParam() == Server::kImap4dMaildir || GetParam() == Server::kImap4dMbox) {
      imap4d_ = std::make_unique<Imap4dServer>(GetParam() == Server::kImap4dMbox
                                                   ? Imap4dServer::Store::kMbox
                                                   : Imap4dServer::Store::kMaildir);
      TANDREL_START_IMAP4D(*imap4d_);
      ASSERT_TRUE(imap4d_->AddUser(kUser, kPassword));
      port_ = imap4d_->ImapPort();
      folder_ = "tandrel";
    } else {
      DovecotServer::Options options;
      options.inbox_namespace = GetParam() == Server::kDovecotInbox;
      dovecot_ = std::make_unique<DovecotServer>(options);
      TANDREL_START_DOVECOT(*dovecot_);
      ASSERT_TRUE(dovecot_->AddUser(kUser, kPassword));
      port_ = dovecot_->ImapPort();
      folder_ = options.inbox_namespace ? "INBOX.tandrel" : "tandrel";
    }
    a_ = NewMachine("a");
    b_ = NewMachine("b");
    ASSERT_TRUE(a_ && b_);
  }

  void TearDown() override {
    if (!HasFailure()) return;
    if (a_) std::fprintf(stderr, "--- log of A\n%s\n", a_->LogText().c_str());
    if (b_) std::fprintf(stderr, "--- log of B\n%s\n", b_->LogText().c_str());
    if (imap4d_) std::fprintf(stderr, "--- imap4d\n%s\n", imap4d_->LogText().c_str());
  }

  std::unique_ptr<SyncMachine> NewMachine(const std::string& name) {
    auto m = std::make_unique<SyncMachine>(tmp_.Sub(name));
    if (!m->Launch() ||
        !m->Run("setup " + std::string(kUser) + " " + kPassword + " " + std::to_string(port_)))
      return nullptr;
    return m;
  }

  static void Do(SyncMachine& m, const std::string& command) {
    EXPECT_TRUE(m.Run(command)) << command;
  }

  static Listing List(SyncMachine& m) { return m.List(); }
  static int Pending(SyncMachine& m) { return m.Pending(); }
  static bool Converge(const std::vector<SyncMachine*>& machines) {
    return SyncMachine::Converge(machines);
  }
  bool Converge() { return Converge({a_.get(), b_.get()}); }

  // Every file of the listing has the same bytes in both caches.
  static void ExpectSameBytes(SyncMachine& one, SyncMachine& other, const Listing& listing) {
    for (const auto& [path, size] : listing) {
      std::string native = NativePath(path).substr(1);
      if (size < 0) {
        EXPECT_TRUE(DirExists(other.CacheDir() + native)) << path;
        continue;
      }
      std::string bytes = ReadFileBytes(one.CacheDir() + native);
      EXPECT_EQ(static_cast<long long>(bytes.size()), size) << path;
      EXPECT_TRUE(bytes == ReadFileBytes(other.CacheDir() + native)) << path << " differs";
    }
  }

  std::string RunPython(const char* script) {
    std::string command = "python3 " + std::string(script) + " 127.0.0.1 " + std::to_string(port_) +
                          " " + kUser + " " + kPassword + " '" + folder_ + "'";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
  }

  Mailbox CheckMailbox() {
    Mailbox box;
    std::string out = RunPython(MAILBOX_CHECK_PATH);
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
      end = out.find('\n', at);
      if (end == std::string::npos) end = out.size();
      std::string text = out.substr(at, end - at);
      if (text.rfind("messages ", 0) == 0) box.messages = atoi(text.c_str() + 9);
      if (text.rfind("index ", 0) == 0) ++box.indexes;
      if (text == "stray") ++box.strays;
      if (text.rfind("part ", 0) == 0) {
        ++box.parts[text.substr(5, text.rfind(' ') - 5)];
        ++box.part_messages;
      }
      if (text.rfind("flags ", 0) == 0) {
        size_t blank = text.find(' ', 6);
        box.flags[text.substr(6, blank - 6)] =
            blank == std::string::npos ? "" : text.substr(blank + 1);
      }
    }
    return box;
  }

  std::unique_ptr<DovecotServer> dovecot_;
  std::unique_ptr<CyrusServer> cyrus_;
  std::unique_ptr<Imap4dServer> imap4d_;
  int port_ = 0;
  std::string folder_;
  TempDir tmp_{"servers"};
  std::unique_ptr<SyncMachine> a_;
  std::unique_ptr<SyncMachine> b_;
};

const Listing kTree{
    {"\\empty", 0}, {"\\报告", -1}, {"\\报告\\年度 总结.txt", 1000}, {"\\big.bin", 25000000}};

// The inode of each cached file: a copy removed and fetched again has another.
std::map<std::string, ino_t> Inodes(SyncMachine& m) {
  std::map<std::string, ino_t> inodes;
  for (const auto& [path, size] : kTree) {
    struct stat st {};
    if (size >= 0 && ::stat((m.CacheDir() + NativePath(path).substr(1)).c_str(), &st) == 0)
      inodes[path] = st.st_ino;
  }
  return inodes;
}

void MakeTree(SyncMachine& m) {
  for (const char* command : {"gen \\empty 0 1", "mkdir \\报告",
                              "gen \\报告\\年度%20总结.txt 1000 5", "gen \\big.bin 25000000 4"})
    EXPECT_TRUE(m.Run(command)) << command;
}

TEST_P(SyncServers, TreeEditAndDeleteReachTheOtherMachineAndReadingChangesNoFlag) {
  MakeTree(*a_);
  for (const char* command : {"step", "pass", "step", "pass"}) Do(*a_, command);
  Mailbox before = CheckMailbox();
  ASSERT_EQ(before.part_messages, 5);
  Do(*b_, "pass");  // learns and downloads everything
  Mailbox after = CheckMailbox();
  EXPECT_EQ(after.flags, before.flags);
  for (const auto& [uid, flags] : after.flags) EXPECT_EQ(flags.find("\\Seen"), std::string::npos);
  ASSERT_TRUE(Converge());
  EXPECT_EQ(List(*b_), kTree);
  ExpectSameBytes(*a_, *b_, kTree);

  Do(*a_, "regen \\报告\\年度%20总结.txt 2000 7");
  Do(*a_, "delete \\big.bin");
  ASSERT_TRUE(Converge());
  Listing expected{{"\\empty", 0}, {"\\报告", -1}, {"\\报告\\年度 总结.txt", 2000}};
  EXPECT_EQ(List(*b_), expected);
  ExpectSameBytes(*a_, *b_, expected);
  EXPECT_FALSE(FileExists(b_->CacheDir() + "big.bin"));
  Do(*a_, "empty-trash");
  ASSERT_TRUE(Converge());
  Mailbox box = CheckMailbox();
  EXPECT_EQ(box.messages, 3);
  EXPECT_EQ(box.indexes, 1);
  EXPECT_EQ(box.strays, 0);
  EXPECT_EQ(box.part_messages, 2);
  EXPECT_EQ(box.parts.size(), 2u);
}

// The folder restored or moved: the same messages under a new UIDVALIDITY,
// every UID different. Nothing is lost, sent again or kept twice.
TEST_P(SyncServers, RebuiltFolderWithNewUidsLosesNothing) {
  MakeTree(*a_);
  ASSERT_TRUE(Converge());
  Mailbox before = CheckMailbox();
  auto inodes_a = Inodes(*a_), inodes_b = Inodes(*b_);
  ASSERT_EQ(inodes_b.size(), 3u);
  ASSERT_EQ(RunPython(MAILBOX_REBUILD_PATH), "copied " + std::to_string(before.messages) + "\n");
  Mailbox rebuilt = CheckMailbox();
  for (const auto& [uid, flags] : rebuilt.flags) EXPECT_EQ(before.flags.count(uid), 0u) << uid;

  ASSERT_TRUE(Converge());
  EXPECT_EQ(List(*a_), kTree);
  EXPECT_EQ(List(*b_), kTree);
  ExpectSameBytes(*a_, *b_, kTree);
  EXPECT_EQ(Inodes(*a_), inodes_a) << "no cached copy removed";
  EXPECT_EQ(Inodes(*b_), inodes_b) << "no cached copy removed";
  Mailbox after = CheckMailbox();
  EXPECT_EQ(after.part_messages, before.part_messages) << "nothing went up again";
  EXPECT_EQ(after.parts, before.parts);
  EXPECT_EQ(after.indexes, 1);

  auto c = NewMachine("c");
  ASSERT_TRUE(c);
  ASSERT_TRUE(Converge({a_.get(), b_.get(), c.get()}));
  EXPECT_EQ(List(*c), kTree);
  ExpectSameBytes(*a_, *c, kTree);
  EXPECT_EQ(CheckMailbox().part_messages, before.part_messages);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SyncServers,
                         ::testing::Values(Server::kDovecot, Server::kDovecotInbox, Server::kCyrus),
                         [](const ::testing::TestParamInfo<Server>& info) {
                           switch (info.param) {
                             case Server::kDovecot:
                               return std::string("Dovecot");
                             case Server::kDovecotInbox:
                               return std::string("DovecotInboxNamespace");
                             case Server::kCyrus:
                             default:
                               break;
                           }
                           return std::string("Cyrus");
                         });

// GNU imap4d keeps an open session's view as it was (no EXISTS for another
// session's message), refuses a UID set naming only messages it no longer
// has, lists messages twice in a session that appended while another
// expunged, and then gives the folder a new UIDVALIDITY or moves messages to
// other UIDs under the same one. Whatever it does, each machine keeps its
// files and the edit and the delete reach the other machine and a new one.
class SyncImap4d : public SyncServers {
 protected:
  // Steps and passes until every machine lists `expected`.
  static bool Reach(const std::vector<SyncMachine*>& machines, const Listing& expected) {
    for (int round = 0; round < 12; ++round) {
      bool all = true;
      for (SyncMachine* m : machines) {
        m->Run("step");
        m->Run("pass");
        all = all && m->List() == expected;
      }
      if (all) return true;
    }
    return false;
  }
};

TEST_P(SyncImap4d, EditAndDeleteReachEveryMachineAndNoFileIsLost) {
  // Two parts are enough to delete a file of several; imap4d is slow with big ones.
  for (const char* command : {"gen \\empty 0 1", "mkdir \\报告",
                              "gen \\报告\\年度%20总结.txt 1000 5", "gen \\big.bin 10485761 4"})
    Do(*a_, command);
  const Listing tree{
      {"\\empty", 0}, {"\\报告", -1}, {"\\报告\\年度 总结.txt", 1000}, {"\\big.bin", 10485761}};
  ASSERT_TRUE(Reach({a_.get(), b_.get()}, tree));
  ExpectSameBytes(*a_, *b_, tree);

  Do(*a_, "regen \\报告\\年度%20总结.txt 2000 7");
  Do(*a_, "delete \\big.bin");
  Listing expected{{"\\empty", 0}, {"\\报告", -1}, {"\\报告\\年度 总结.txt", 2000}};
  bool reached = Reach({a_.get(), b_.get()}, expected);
  EXPECT_EQ(List(*a_), expected) << "this machine keeps its own changes";
  if (!reached) {
    // On mbox its sessions rewrite the folder under each other: B may fall
    // behind, but it shows no wrong byte and its status says why.
    std::string status = b_->RunLine("status");
    std::fprintf(stderr, "B did not follow: %s\n", status.c_str());
    while (!status.empty() && status.back() == ' ') status.pop_back();
    const std::string silent = " | held  | error";
    // Or the server lost A's changes itself: as a new client sees it, the
    // mailbox holds the deleted file's second part again (one session's end
    // rewrites the mbox from its own view), and B shows what it holds.
    Mailbox box = CheckMailbox();
    bool server_lost = false;
    for (const auto& [key, copies] : box.parts)
      server_lost = server_lost || key.compare(key.size() - 2, 2, " 2") == 0;
    EXPECT_TRUE(server_lost ||
                !(status.size() >= silent.size() &&
                  status.compare(status.size() - silent.size(), silent.size(), silent) == 0))
        << status;
    Listing shown = List(*b_);
    for (const auto& [path, size] : shown) {
      auto mine = expected.find(path);
      if (size >= 0 && mine != expected.end() && mine->second == size)
        ExpectSameBytes(*a_, *b_, {{path, size}});
    }
    return;
  }
  ExpectSameBytes(*a_, *b_, expected);

  Mailbox box = CheckMailbox();
  EXPECT_GE(box.indexes, 1) << "another client sees the folder";
  EXPECT_GE(box.parts.size(), 2u);
  auto c = NewMachine("c");
  ASSERT_TRUE(c);
  EXPECT_TRUE(Reach({c.get()}, expected));
  ExpectSameBytes(*a_, *c, expected);
}

INSTANTIATE_TEST_SUITE_P(Stores, SyncImap4d,
                         ::testing::Values(Server::kImap4dMaildir, Server::kImap4dMbox),
                         [](const ::testing::TestParamInfo<Server>& info) {
                           return std::string(info.param == Server::kImap4dMbox ? "Mbox"
                                                                                : "Maildir");
                         });

}  // namespace
