#include "MailboxCheck.h"

#include <cstdio>
#include <cstdlib>

Mailbox CheckMailbox(int port, const std::string& user, const std::string& password) {
  Mailbox box;
  std::string command = "python3 " + std::string(MAILBOX_CHECK_PATH) + " 127.0.0.1 " +
                        std::to_string(port) + " " + user + " " + password;
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
