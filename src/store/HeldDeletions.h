#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/CppSQLite3DB.h"

// Deletions that came from the mailbox and wait for the user: the files
// whose messages vanished in one pass beyond the guard's bounds, or the
// whole drive when its folder is gone, with the user's answer (keep: the
// files go up again; apply: they go here too). Two tables the start-up
// migration adds (held_deletion, held_state); a database without them holds
// nothing.
// Thread contract: one thread only, like MetaStore: each caller (the engine's
// threads, tandrel-cli from another process) makes its own short-lived
// object. Failures are logged and reported as false.
class HeldDeletions {
 public:
  enum class Decision { kNone, kKeep, kApply };
  struct File {
    std::string path;  // drive path
    int64_t size = 0;
  };
  struct State {
    std::string reason;  // what the user is told; empty: nothing held
    Decision decision = Decision::kNone;
    std::vector<File> files;
  };

  HeldDeletions(const std::string& data_dir, const std::string& user);
  HeldDeletions(const HeldDeletions&) = delete;
  HeldDeletions& operator=(const HeldDeletions&) = delete;

  // Throws the SQL layer's exception; the caller runs it in its transaction.
  static void Migrate(CppSQLite3DB& db);

  // Replaces what is held by files, for reason; an answer already given
  // stays.
  bool Hold(const std::string& reason, const std::vector<File>& files);
  bool Read(State& state);
  bool Decide(Decision decision);
  // Nothing held any more, no answer.
  bool Clear();

 private:
  bool Run(const char* failure, const std::function<void()>& body, bool transaction);

  CppSQLite3DB db_;
};
