// tandrel-cli: the headless front end, for servers and tests.
#include <iostream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "log/CLog.h"

int main(int argc, char** argv) {
  int rc = CliCommands::Main({argv + 1, argv + argc}, std::cout, std::cerr);
  CLog::Instance()->Flush();
  return rc;
}
