// tandrel-cli: the headless front end, for servers and tests.
#include <iostream>
#include <string>
#include <vector>

#include "cli/MountCommand.h"
#include "log/CLog.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << MountCommand::HelpText();
    return args.empty() ? 2 : 0;
  }
  if (args[0] != "mount") {
    std::cerr << "tandrel-cli: unknown command " << args[0] << "\n" << MountCommand::HelpText();
    return 2;
  }
  MountCommand::Options options;
  std::string error;
  if (!MountCommand::Parse({args.begin() + 1, args.end()}, options, error)) {
    std::cerr << "tandrel-cli: " << error << "\n\n" << MountCommand::HelpText();
    return 2;
  }
  if (options.help) {
    std::cout << MountCommand::HelpText();
    return 0;
  }
  int rc = MountCommand::Run(options);
  CLog::Instance()->Flush();
  return rc;
}
