#include "store/SqlText.h"

#include <sqlite3.h>
#include <cstdarg>
#include <memory>

std::string SqlText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::unique_ptr<char, decltype(&sqlite3_free)> text(sqlite3_vmprintf(format, args),
                                                      &sqlite3_free);
  va_end(args);
  return text ? std::string(text.get()) : std::string();
}
