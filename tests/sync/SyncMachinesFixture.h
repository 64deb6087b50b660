#pragma once

// Two machines of the whole-sync tests on one mailbox of a private Dovecot
// (a third made on demand), with the helpers their tests share.
// Thread contract: the test's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "DovecotServer.h"
#include "EngineMachine.h"
#include "MailboxCheck.h"
#include "TempDir.h"
#include "mail/ImapClient.h"

inline constexpr char kUser[] = "two@example.com";
inline constexpr char kPassword[] = "secret";
using Clock = std::chrono::steady_clock;
using Listing = EngineMachine::Listing;

// The same bytes for the same size and seed on every machine.
inline std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

// Path -> size: what a listing shows once the digests agree.
inline std::map<std::string, long long> Sizes(const Listing& listing) {
  std::map<std::string, long long> sizes;
  for (const auto& [path, entry] : listing) sizes[path] = entry.size;
  return sizes;
}

class SyncMachines : public ::testing::Test {
 protected:
  SyncMachines() : SyncMachines(DovecotServer::Options{}) {}
  explicit SyncMachines(DovecotServer::Options options)
      : home_("HOME", tmp_.Sub("home")), data_("XDG_DATA_HOME", tmp_.Sub("share")),
        server_(options) {}

  void SetUp() override {
    TANDREL_START_DOVECOT(server_);
    ASSERT_TRUE(server_.AddUser(kUser, kPassword));
    a_ = NewMachine("a");
    b_ = NewMachine("b");
    ASSERT_TRUE(a_ && b_);
  }

  std::unique_ptr<EngineMachine> NewMachine(const std::string& name) {
    auto m = std::make_unique<EngineMachine>(tmp_.Sub(name), kUser, kPassword, server_.ImapPort());
    return m->SetUp() ? std::move(m) : nullptr;
  }

  bool Converge(int max_rounds = 12) { return EngineMachine::Converge({a_.get(), b_.get()}, max_rounds); }
  Mailbox Box() { return CheckMailbox(server_.ImapPort(), kUser, kPassword); }

  // Appends a message file made here (a stray mail, a hand-made index).
  bool AppendFile(const std::string& path) {
    ImapClient client;
    return client.Connect("127.0.0.1", server_.ImapPort(), false) &&
           client.Login(kUser, kPassword) &&
           (client.Select("tandrel") || (client.Create("tandrel") && client.Select("tandrel"))) &&
           client.Append("tandrel", path);
  }

  TempDir tmp_{"machines"};
  ScopedEnv home_;
  ScopedEnv data_;
  DovecotServer server_;
  std::unique_ptr<EngineMachine> a_;
  std::unique_ptr<EngineMachine> b_;
};
