#include "SyncMachine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/FileHelpers.h"

#ifndef SYNC_DRIVER_PATH
#error SYNC_DRIVER_PATH must name the sync_driver executable
#endif

SyncMachine::SyncMachine(const std::string& root) : root_(root) { MakeDir(root_); }

SyncMachine::~SyncMachine() { Kill(); }

bool SyncMachine::Launch() {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  std::string home = root_ + "/home", data = root_ + "/share", config = root_ + "/config";
  MakeDir(home);
  MakeDir(data);
  MakeDir(config);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("TANDREL_LOG", "3", 1);
    ::execl(SYNC_DRIVER_PATH, SYNC_DRIVER_PATH, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  to_child_ = in[1];
  from_child_ = out[0];
  return pid_ > 0;
}

bool SyncMachine::ReadLine(std::string& line, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || from_child_ < 0) return false;
    pollfd p{from_child_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(from_child_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

bool SyncMachine::Run(const std::string& command, std::vector<std::string>* out, int timeout_s) {
  if (to_child_ < 0) return false;
  std::string text = command + "\n";
  if (::write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return false;
  }
  std::string line;
  while (ReadLine(line, timeout_s * 1000)) {
    if (line == "ok") return true;
    if (line.rfind("err", 0) == 0) return false;
    if (out != nullptr) out->push_back(line);
  }
  return false;
}

std::string SyncMachine::RunLine(const std::string& command) {
  std::vector<std::string> out;
  if (!Run(command, &out) || out.empty()) return "";
  return out.front();
}

std::string SyncMachine::CacheDir() {
  if (cache_.empty()) {
    std::string line = RunLine("cache");
    if (line.rfind("cache ", 0) == 0) {
      cache_ = line.substr(6);
      std::string plain = UnescapeBlanks(cache_);
      cache_.clear();
      for (char c : plain) {
        if (c != '/' || cache_.empty() || cache_.back() != '/') cache_ += c;
      }
    }
  }
  return cache_;
}

std::string SyncMachine::LogText() const {
  std::ifstream in(root_ + "/share/tandrel/log/tandrel.log");
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  return all.size() > 20000 ? all.substr(all.size() - 20000) : all;
}

void SyncMachine::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (to_child_ >= 0) ::close(to_child_);
  if (from_child_ >= 0) ::close(from_child_);
  to_child_ = from_child_ = -1;
  buffer_.clear();
}

void SyncMachine::Quit() {
  if (pid_ > 0 && to_child_ >= 0) {
    ssize_t ignored = ::write(to_child_, "quit\n", 5);
    (void)ignored;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) break;
      ::usleep(10000);
    }
    if (::waitpid(pid_, &status, WNOHANG) == pid_ || ::kill(pid_, 0) != 0) pid_ = -1;
  }
  Kill();
}

SyncMachine::Listing SyncMachine::List() {
  std::vector<std::string> lines;
  Listing listing;
  if (!Run("list", &lines)) return listing;
  for (const auto& line : lines) {
    size_t blank = line.find(' ', 2);
    std::string path =
        UnescapeBlanks(line.substr(2, blank == std::string::npos ? blank : blank - 2));
    listing[path] = line[0] == 'D' ? -1 : atoll(line.substr(blank + 1).c_str());
  }
  return listing;
}

int SyncMachine::Pending() {
  std::string line = RunLine("pending");
  return line.rfind("pending ", 0) == 0 ? atoi(line.c_str() + 8) : -1;
}

bool SyncMachine::Converge(const std::vector<SyncMachine*>& machines, int max_rounds) {
  for (int round = 0; round < max_rounds; ++round) {
    for (SyncMachine* m : machines) {
      if (!m->Run("step") || !m->Run("pass")) return false;
    }
    bool settled = true;
    for (SyncMachine* m : machines)
      settled = settled && m->Pending() == 0 && m->List() == machines[0]->List();
    if (!settled) continue;
    for (int extra = 0; extra < 2; ++extra)
      for (SyncMachine* m : machines) m->Run("step") && m->Run("pass");
    return true;
  }
  return false;
}
