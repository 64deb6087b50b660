// Machines that worked apart, merged: each side's changes against the tree
// both last shared survive together, by the rules of the merge.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "SyncMachinesFixture.h"
#include "message/MailParser.h"
#include "store/HeldDeletions.h"
#include "store/KeptFiles.h"
#include "sync/PartHeaders.h"

namespace {

using Sizes_t = std::map<std::string, long long>;

std::set<std::string> Digests(const Listing& listing) {
  std::set<std::string> digests;
  for (const auto& [path, entry] : listing) {
    if (entry.size >= 0) digests.insert(entry.md5);
  }
  return digests;
}

class SyncMerge : public SyncMachines {
 protected:
  // A machine that joins now and takes the drive as it is.
  Listing Fresh() {
    auto c = NewMachine("fresh" + std::to_string(++fresh_));
    if (!c || !EngineMachine::Converge({a_.get(), b_.get(), c.get()})) return {{"failed", {}}};
    return c->List();
  }
  int fresh_ = 0;
};

TEST_F(SyncMerge, EditsMadeApartSurviveThoughTheOtherMachineNeverReturns) {
  ASSERT_TRUE(a_->Write("\\f", Bytes(100, 1)));
  ASSERT_TRUE(a_->Write("\\g1", Bytes(100, 2)));
  ASSERT_TRUE(a_->Write("\\g2", Bytes(100, 3)));
  ASSERT_TRUE(Converge());
  a_->Cut();
  ASSERT_TRUE(a_->Write("\\g1", Bytes(120, 4)));
  ASSERT_TRUE(a_->Write("\\g2", Bytes(130, 5)));
  a_->Step();
  ASSERT_TRUE(b_->Write("\\f", Bytes(110, 6)));
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  b_.reset();  // a lost laptop
  a_->Restore();
  a_->Later(10 * 60 * 1000);
  for (int i = 0; i < 4; ++i) {
    a_->Step();
    a_->Pass();
  }
  Sizes_t expected{{"\\f", 110}, {"\\g1", 120}, {"\\g2", 130}};
  EXPECT_EQ(Sizes(a_->List()), expected);
  EXPECT_EQ(a_->Read("\\f"), Bytes(110, 6));
  auto c = NewMachine("c");
  ASSERT_TRUE(c && EngineMachine::Converge({a_.get(), c.get()}));
  EXPECT_EQ(c->List(), a_->List());
  EXPECT_EQ(Box().indexes, 1);  // the merged index named the others, which went
}

TEST_F(SyncMerge, TreeChangesMadeApartAreNotUndone) {
  for (const char* folder : {"\\gone", "\\docs", "\\kept"}) ASSERT_TRUE(a_->Mkdir(folder));
  ASSERT_TRUE(a_->Write("\\h0", Bytes(10, 1)));
  ASSERT_TRUE(a_->Write("\\docs\\m", Bytes(10, 2)));
  ASSERT_TRUE(a_->Write("\\e", Bytes(10, 3)));
  ASSERT_TRUE(a_->Write("\\d", Bytes(10, 4)));
  ASSERT_TRUE(a_->Write("\\kept\\old", Bytes(10, 5)));
  ASSERT_TRUE(Converge());
  a_->Cut();
  ASSERT_TRUE(a_->Move("\\h0", "\\h1"));                // rename
  ASSERT_TRUE(a_->Move("\\docs\\m", "\\m"));            // move
  ASSERT_TRUE(a_->Mkdir("\\new"));                      // new empty folder
  ASSERT_TRUE(a_->Rmdir("\\gone"));                     // removed folder
  ASSERT_TRUE(a_->Move("\\e", "\\e2"));                 // renamed here, edited there
  ASSERT_TRUE(a_->Write("\\d", Bytes(11, 6)));          // edited here, deleted there
  ASSERT_TRUE(a_->Remove("\\kept\\old"));               // folder emptied and removed here
  ASSERT_TRUE(a_->Rmdir("\\kept"));
  a_->Step();
  ASSERT_TRUE(b_->Write("\\b1", Bytes(20, 7)));
  ASSERT_TRUE(b_->Write("\\b2", Bytes(20, 8)));
  ASSERT_TRUE(b_->Write("\\e", Bytes(12, 9)));
  ASSERT_TRUE(b_->Remove("\\d"));
  ASSERT_TRUE(b_->Write("\\kept\\added", Bytes(13, 10)));  // added there meanwhile
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  a_->Restore();
  a_->Later(10 * 60 * 1000);
  ASSERT_TRUE(Converge());
  EXPECT_EQ(Sizes(a_->List()), (Sizes_t{{"\\h1", 10},
                                        {"\\m", 10},
                                        {"\\docs", -1},
                                        {"\\new", -1},
                                        {"\\e2", 12},
                                        {"\\d", 11},
                                        {"\\kept", -1},
                                        {"\\kept\\added", 13},
                                        {"\\b1", 20},
                                        {"\\b2", 20}}));
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(Fresh(), a_->List());
}

TEST_F(SyncMerge, EditsOnBothSidesAndOneNewNameKeepEveryVersion) {
  ASSERT_TRUE(a_->Write("\\both", Bytes(10, 1)));
  ASSERT_TRUE(Converge());
  a_->Cut();
  ASSERT_TRUE(a_->Write("\\both", Bytes(11, 2)));
  ASSERT_TRUE(a_->Write("\\same", Bytes(30, 3)));
  a_->Step();
  ASSERT_TRUE(b_->Write("\\both", Bytes(12, 4)));
  ASSERT_TRUE(b_->Write("\\same", Bytes(31, 5)));
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  a_->Restore();
  a_->Later(10 * 60 * 1000);
  ASSERT_TRUE(Converge());
  Listing listing = a_->List();
  EXPECT_EQ(listing.size(), 4u);
  std::set<long long> sizes;
  for (const auto& [path, entry] : listing) sizes.insert(entry.size);
  EXPECT_EQ(sizes, (std::set<long long>{11, 12, 30, 31}));
  EXPECT_EQ(b_->List(), listing);
  EXPECT_GE(a_->status().Take().conflict_copies + b_->status().Take().conflict_copies, 2);
}

// Rounds of random changes on two machines apart, then together again:
// every version written on either side survives, a file deleted on one side
// and left alone on the other goes, and both drives and a newcomer agree.
// TANDREL_MERGE_SEED and TANDREL_MERGE_ROUNDS repeat or lengthen a run.
class RandomRounds : public SyncMerge {
 protected:
  struct Side {
    EngineMachine* m;
    std::set<std::string> written;  // digests of the versions written this round
    std::set<std::string> touched;  // digests changed, moved or deleted this round
    std::set<std::string> deleted;
  };

  std::string Pick(const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random_)];
  }
  int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  void Change(Side& side) {
    Listing now = side.m->List();
    std::vector<std::string> files, folders{""};
    for (const auto& [path, entry] : now) (entry.size < 0 ? folders : files).push_back(path);
    std::string folder = Pick(folders);
    std::string name = folder + "\\f" + std::to_string(Roll(4));
    int op = Roll(7);
    if (files.empty() && op <= 4) op = 0;
    if (op == 0 || op == 1) {
      // A new file, or an edit when the name is taken (one name on both sides).
      std::string path = op == 0 || files.empty() ? name : Pick(files);
      if (now.count(path) != 0 && now[path].size < 0) return;
      if (now.count(path) != 0) side.touched.insert(now[path].md5);
      std::string bytes = Bytes(100 + Roll(900), ++seed_);
      if (side.m->Write(path, bytes)) side.written.insert(side.m->List().at(path).md5);
    } else if (op == 2 || op == 3) {
      std::string from = Pick(files);
      std::string to = Pick(folders) + "\\r" + std::to_string(Roll(4));
      if (now.count(to) == 0 && side.m->Move(from, to)) side.touched.insert(now[from].md5);
    } else if (op == 4) {
      std::string path = Pick(files);
      if (side.m->Remove(path)) {
        side.touched.insert(now[path].md5);
        side.deleted.insert(now[path].md5);
      }
    } else if (op == 5) {
      if (now.count(folder + "\\d" + std::to_string(Roll(2))) == 0 && folder.size() < 8)
        side.m->Mkdir(folder + "\\d" + std::to_string(Roll(2)));
    } else if (!folder.empty()) {
      bool empty = true;
      for (const auto& [path, entry] : now) empty = empty && path.rfind(folder + "\\", 0) != 0;
      if (empty) side.m->Rmdir(folder);
    }
  }

  std::mt19937 random_;
  unsigned seed_ = 1000;
};

TEST_F(RandomRounds, EveryChangeSurvivesByTheRules) {
  const char* seed_text = getenv("TANDREL_MERGE_SEED");
  const char* rounds_text = getenv("TANDREL_MERGE_ROUNDS");
  unsigned seed = seed_text != nullptr ? static_cast<unsigned>(atol(seed_text))
                                       : static_cast<unsigned>(std::random_device{}());
  int rounds = rounds_text != nullptr ? atoi(rounds_text) : 5;
  random_.seed(seed);
  std::cout << "TANDREL_MERGE_SEED=" << seed << std::endl;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed " + std::to_string(seed));
    Side a{a_.get(), {}, {}, {}}, b{b_.get(), {}, {}, {}};
    a_->Cut();
    for (int i = 0; i < 8; ++i) Change(a);
    a_->Step();
    for (int i = 0; i < 8; ++i) Change(b);
    ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
    a_->Restore();
    a_->Later(10 * 60 * 1000);
    ASSERT_TRUE(Converge(20));
    std::set<std::string> after = Digests(a_->List());
    for (const Side* side : {&a, &b}) {
      const Side& other = side == &a ? b : a;
      for (const auto& digest : side->written) {
        if (side->touched.count(digest) == 0) {
          EXPECT_EQ(after.count(digest), 1u) << "lost";
        }
      }
      for (const auto& digest : side->deleted) {
        if (other.touched.count(digest) == 0) {
          EXPECT_EQ(after.count(digest), 0u) << "undeleted";
        }
      }
    }
    EXPECT_EQ(b_->List(), a_->List());
  }
  EXPECT_EQ(Fresh(), a_->List());
}

}  // namespace

namespace {

// A clock set back a day makes every change time lie in the future: the
// quiet period is still kept, and no longer.
TEST_F(SyncMerge, AClockSetBackHoldsNoUploadBeyondTheQuietPeriod) {
  a_->engine().SetUploadSettleMs(2000);
  a_->engine().SetWallClockForTest([] {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    now.tv_sec -= 24 * 3600;
    return now;
  });
  ASSERT_TRUE(a_->Write("\\first", Bytes(10, 1)));
  ASSERT_TRUE(a_->Write("\\second", Bytes(10, 2)));
  a_->Step();
  EXPECT_EQ(a_->Pending(), 2);  // both parts still quiet
  a_->Later(2500);
  for (int i = 0; i < 6 && a_->Pending() != 0; ++i) {
    a_->Step();
    a_->Later(1000);
  }
  EXPECT_EQ(a_->Pending(), 0);
}

}  // namespace

namespace {

class PartsHeal : public SyncMerge {
 protected:
  // The UIDs of the file parts of the folder, with their headers.
  std::map<uint32_t, std::string> Parts(ImapClient& client) {
    ImapClient::UidListing listing;
    std::map<uint32_t, std::string> headers, parts;
    if (!client.ListUids(listing) || !client.FetchHeaders(listing.uids, headers)) return parts;
    for (const auto& [uid, header] : headers) {
      MailParser parser;
      parser.Parse(header);
      if (PartHeaders::FromMessage(parser.info).kind == RecordKind::kFilePart) parts[uid] = header;
    }
    return parts;
  }
  bool Open(ImapClient& client) {
    return client.Connect("127.0.0.1", server_.ImapPort(), false) &&
           client.Login(kUser, kPassword) && client.Select("tandrel");
  }
};

// Another client removes one part message: the machines that hold the whole
// file put it back, and a newcomer gets every byte.
TEST_F(PartsHeal, APartRemovedByAnotherClientIsUploadedAgain) {
  ASSERT_TRUE(a_->Write("\\big", Bytes(25000000, 1)));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(a_->Write("\\s" + std::to_string(i), Bytes(10, i)));
  ASSERT_TRUE(Converge());
  ImapClient client;
  ASSERT_TRUE(Open(client));
  auto parts = Parts(client);
  ASSERT_EQ(parts.size(), 7u);
  uint32_t second = 0;  // the second part of big
  for (const auto& [uid, header] : parts) {
    MailParser parser;
    parser.Parse(header);
    FileRecord r = PartHeaders::FromMessage(parser.info);
    if (r.total_part == 3 && r.part == 2) second = uid;
  }
  ImapClient::DeleteOutcome outcome;
  ASSERT_TRUE(client.DeleteMessages({second}, outcome).ok());
  client.Logout();
  ASSERT_TRUE(Converge());
  EXPECT_EQ(Sizes(a_->List()).at("\\big"), 25000000);
  EXPECT_EQ(b_->List(), a_->List());
  EXPECT_EQ(Box().parts.size(), 7u);
  EXPECT_EQ(Box().PartMessages(), 7);  // the two machines' copies became one
  EXPECT_EQ(Fresh(), a_->List());
}

// A part whose bytes were changed in the mailbox: a newcomer never shows
// the file with them (its digest is taken as the parts are written).
TEST_F(PartsHeal, ContentThatFailsItsDigestIsNeverShown) {
  ASSERT_TRUE(a_->Write("\\f", Bytes(12000000, 2)));
  ASSERT_TRUE(a_->Write("\\g", Bytes(3000, 3)));
  ASSERT_TRUE(Converge());
  a_.reset();
  b_.reset();
  ImapClient client;
  ASSERT_TRUE(Open(client));
  auto parts = Parts(client);
  ASSERT_EQ(parts.size(), 3u);
  std::string message;
  uint32_t uid = parts.begin()->first;
  ASSERT_TRUE(client.FetchMessage({std::to_string(uid)}, message));
  // One base64 character of the attachment's first line changed.
  size_t body = message.find("\r\n\r\n", message.rfind("base64"));
  ASSERT_NE(body, std::string::npos);
  message[body + 4] = message[body + 4] == 'A' ? 'B' : 'A';
  std::string path = tmp_.Sub("forged.eml");
  WriteFileBytes(path, message);
  ASSERT_TRUE(client.Append("tandrel", path));
  ImapClient::DeleteOutcome outcome;
  ASSERT_TRUE(client.DeleteMessages({uid}, outcome).ok());
  client.Logout();
  auto c = NewMachine("c");
  ASSERT_TRUE(c);
  for (int i = 0; i < 6; ++i) {
    c->Step();
    c->Pass();
  }
  EXPECT_EQ(c->List().size(), 1u);  // the sound file only
}

}  // namespace

namespace {

// Deletions that come from the mailbox itself wait for the user.
class MassDeletion : public PartsHeal {
 protected:
  bool Python(const std::string& body) {
    std::string script = tmp_.Sub("imap.py");
    WriteFileBytes(script, "import imaplib\nm = imaplib.IMAP4('127.0.0.1', " +
                               std::to_string(server_.ImapPort()) + ")\nm.login('" + kUser +
                               "', '" + kPassword + "')\n" + body + "m.logout()\n");
    return system(("python3 " + script).c_str()) == 0;
  }
  HeldDeletions::State Held(EngineMachine& m) {
    HeldDeletions::State state;
    HeldDeletions(m.engine().DataDirectory(), kUser).Read(state);
    return state;
  }
  // Every session of the machine opens again (and finds what changed).
  void Reconnect(EngineMachine& m) {
    m.Cut();
    m.Restore();
    m.Later(10 * 60 * 1000);
  }
  void Passes(EngineMachine& m, int n) {
    for (int i = 0; i < n; ++i) {
      m.Step();
      m.Pass();
    }
  }
};

TEST_F(MassDeletion, MessagesDeletedElsewhereAreKeptUntilTheUserChooses) {
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(a_->Write("\\f" + std::to_string(i), Bytes(100, i)));
  ASSERT_TRUE(Converge());
  Listing before = a_->List();
  ImapClient client;
  ASSERT_TRUE(Open(client));
  std::vector<uint32_t> doomed;
  for (const auto& [uid, header] : Parts(client)) {
    if (doomed.size() < 3) doomed.push_back(uid);  // more than a quarter of the drive
  }
  ImapClient::DeleteOutcome outcome;
  ASSERT_TRUE(client.DeleteMessages(doomed, outcome).ok());
  client.Logout();
  Passes(*a_, 3);
  Passes(*b_, 3);
  EXPECT_EQ(a_->List(), before);
  EXPECT_EQ(Held(*a_).reason, "3 files vanished from the mailbox");
  EXPECT_EQ(Held(*a_).files.size(), 3u);
  EXPECT_EQ(a_->status().Take().held, "3 files vanished from the mailbox");
  // Kept on A: they go up again, and B, which held them too, follows.
  ASSERT_TRUE(HeldDeletions(a_->engine().DataDirectory(), kUser).Decide(HeldDeletions::Decision::kKeep));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(a_->List(), before);
  EXPECT_EQ(Box().PartMessages(), 8);
  EXPECT_TRUE(Held(*b_).reason.empty());
  EXPECT_TRUE(b_->status().Take().held.empty());
}

// Applied on A, the held deletions go to the trash like any other: the
// files leave both drives, and B brings one back whole.
TEST_F(MassDeletion, AppliedDeletionsLandInTheTrash) {
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(a_->Write("\\f" + std::to_string(i), Bytes(100, i)));
  ASSERT_TRUE(Converge());
  ImapClient client;
  ASSERT_TRUE(Open(client));
  std::vector<uint32_t> doomed;
  for (const auto& [uid, header] : Parts(client))
    if (doomed.size() < 3) doomed.push_back(uid);
  ImapClient::DeleteOutcome outcome;
  ASSERT_TRUE(client.DeleteMessages(doomed, outcome).ok());
  client.Logout();
  Passes(*a_, 3);
  std::vector<HeldDeletions::File> held = Held(*a_).files;
  ASSERT_EQ(held.size(), 3u);
  ASSERT_TRUE(
      HeldDeletions(a_->engine().DataDirectory(), kUser).Decide(HeldDeletions::Decision::kApply));
  ASSERT_TRUE(Converge());
  ASSERT_TRUE(Converge());
  EXPECT_EQ(a_->List().size(), 5u);
  EXPECT_EQ(b_->List(), a_->List());
  std::vector<KeptRecord> trash;
  ASSERT_TRUE(KeptFiles(b_->engine().DataDirectory(), kUser).List(trash));
  ASSERT_EQ(trash.size(), 3u);
  EXPECT_EQ(trash[0].kind, KeptKind::kTrash);
  const std::string back = held[0].path;
  ASSERT_TRUE(
      KeptFiles(b_->engine().DataDirectory(), kUser).Ask({KeptFiles::Action::kRestore, back, 0}));
  ASSERT_TRUE(Converge());
  EXPECT_EQ(a_->Read(back), Bytes(100, std::stoi(back.substr(2))));
  EXPECT_EQ(b_->List().size(), 6u);
}

TEST_F(MassDeletion, AGoneFolderIsNotMadeAgainUntilTheUserChooses) {
  ASSERT_TRUE(a_->Write("\\f", Bytes(100, 1)));
  ASSERT_TRUE(a_->Mkdir("\\docs"));
  ASSERT_TRUE(a_->Write("\\docs\\g", Bytes(100, 2)));
  ASSERT_TRUE(Converge());
  Listing before = a_->List();
  ASSERT_TRUE(Python("m.delete('tandrel')\n"));
  Reconnect(*a_);
  Passes(*a_, 3);
  EXPECT_EQ(a_->List(), before);
  EXPECT_EQ(Held(*a_).reason, "the folder tandrel is gone from the mailbox");
  EXPECT_EQ(Held(*a_).files.size(), 2u);
  ASSERT_TRUE(Python("assert m.select('tandrel')[0] == 'NO'\n"));
  ASSERT_TRUE(HeldDeletions(a_->engine().DataDirectory(), kUser).Decide(HeldDeletions::Decision::kKeep));
  a_->Later(10 * 60 * 1000);  // past the opening's back-off
  Reconnect(*b_);
  // Sessions that had the folder selected break once: back-offs pass.
  bool converged = false;
  for (int i = 0; i < 5 && !converged; ++i) {
    converged = Converge(4) && Box().PartMessages() == 2;
    a_->Later(5000);
    b_->Later(5000);
  }
  ASSERT_TRUE(converged);
  EXPECT_EQ(a_->List(), before);
  EXPECT_EQ(b_->List(), before);
  EXPECT_EQ(Box().PartMessages(), 2);
  EXPECT_EQ(Fresh(), before);
}

}  // namespace

namespace {

// A program holds a file open for writing here while the other machine
// changes it: the refresh leaves the writer's copy alone, and after the
// last close both versions are kept.
TEST_F(SyncMerge, AFileOpenForWritingIsNotPulledFromUnderItsWriter) {
  ASSERT_TRUE(a_->Write("\\log", Bytes(100, 1)));
  ASSERT_TRUE(Converge());
  a_->engine().Writing().Add("\\log");  // as the drive reports an open writer
  ASSERT_TRUE(b_->Write("\\log", Bytes(150, 2)));
  ASSERT_TRUE(EngineMachine::Converge({b_.get()}));
  for (int i = 0; i < 3; ++i) a_->Pass();
  EXPECT_EQ(a_->Read("\\log"), Bytes(100, 1));
  ASSERT_TRUE(a_->Write("\\log", Bytes(120, 3)));  // what the writer wrote, at its close
  a_->engine().Writing().Remove("\\log");
  ASSERT_TRUE(Converge());
  std::set<long long> sizes;
  for (const auto& [path, entry] : a_->List()) sizes.insert(entry.size);
  EXPECT_EQ(sizes, (std::set<long long>{120, 150}));
  EXPECT_EQ(b_->List(), a_->List());
}

}  // namespace
