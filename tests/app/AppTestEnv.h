#pragma once

#include <string>
#include <vector>

#include "TempDir.h"

// A private desktop for one test: HOME, data, config, documents, runtime
// directory and mount point in a temp dir; pings to a closed loopback port;
// the dialogs' hooks answered from here (messages recorded, questions
// recorded and answered with answer_yes, tray notices recorded as
// "title|text", the folder chooser answering chosen_folder, the opener
// recording its targets, a system tray present);
// no session bus, so no keyring. One test thread only.
class AppTestEnv {
 public:
  AppTestEnv();
  ~AppTestEnv();

  bool ok() const { return ok_; }
  std::string Sub(const std::string& name) const { return dir_.Sub(name); }
  std::string MountPoint() const { return dir_.Sub("mnt"); }
  std::string Documents() const { return dir_.Sub("documents"); }

  std::vector<std::string> messages;
  std::vector<std::string> opened;
  std::vector<std::string> questions;
  std::vector<std::string> notices;
  bool answer_yes = false;
  int choice = -1;  // the button pressed in a choice, -1 closes it
  std::string chosen_folder;
  bool open_fails = false;
  // Typed, in turn, where a secret is asked (then empty: cancelled); the
  // texts of the askings.
  std::vector<std::string> secrets;
  std::vector<std::string> secret_asks;

 private:
  TempDir dir_{"app"};
  ScopedEnv home_;
  ScopedEnv data_;
  ScopedEnv config_;
  ScopedEnv runtime_;
  ScopedEnv mount_;
  ScopedEnv web_;
  ScopedEnv periods_;
  ScopedEnv bus_;  // no keyring: passwords stay where the tests look
  bool ok_ = false;
};
