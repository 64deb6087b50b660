#pragma once

#include <map>
#include <string>

// What Python's imaplib finds in the folder "tandrel": an independent
// reader of the mailbox.
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

Mailbox CheckMailbox(int port, const std::string& user, const std::string& password);
