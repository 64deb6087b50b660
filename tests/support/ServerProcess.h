#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Process and port helpers shared by the private server fixtures.
// Thread contract: stateless; any thread.
class ServerProcess {
 public:
  // Runs a program to its end with its output appended to log_path; true on
  // exit status 0.
  static bool Run(const std::vector<std::string>& argv, const std::string& log_path,
                  const std::string& stdin_text = "");
  // Starts argv[0] as the leader of a new process group with its output to
  // log_path; it gets SIGTERM when the calling process dies. -1 on failure.
  static pid_t Spawn(const std::vector<std::string>& argv, const std::string& log_path);
  // SIGTERM to the whole group, SIGKILL after 5 s; reaps the leader.
  static void StopGroup(pid_t leader);
  // False once the leader has ended (and reaps it).
  static bool Alive(pid_t leader);
  // Waits up to 15 s for port to answer while leader runs; when it ends
  // first, leader becomes -1. error names what went wrong, after name.
  static bool WaitForPort(pid_t& leader, int port, const std::string& name, std::string& error);
  // CI=true: a server that is not installed fails the test instead of skipping it.
  static bool RequiredByCi();
  static int FreeLoopbackPort();
  static bool PortAnswers(int port);
  static bool WriteText(const std::string& path, const std::string& text, bool append = false);
};
