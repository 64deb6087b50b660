#include "app/OpenerErrors.h"

#include <cstdio>

std::string OpenerErrors::Reason(int exit_code) {
  switch (exit_code) {
    case 1:
      return "Error in command line syntax.";
    case 2:
      return "The specified file was not found.";
    case 3:
      return "There is no application associated\nwith the given address.";
    case 4:
      return "The action failed.";
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Unknown Error (%d) occurred.", exit_code);
      return text;
    }
  }
}

std::string OpenerErrors::NotStarted() { return "xdg-open could not be started."; }
