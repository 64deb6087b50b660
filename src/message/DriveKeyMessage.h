#pragma once

#include <cstdint>
#include <string>

// The message that keeps an encrypted drive's key in its folder: the drive's
// identity sealed to the passphrase, as one age attachment, under a header
// field (X-tdr-key) that marks it and a subject that asks for it to be kept.
// Nothing else in the message depends on the passphrase, so a new one
// rewrites this message only.
// Thread contract: stateless; any thread.
class DriveKeyMessage {
 public:
  static constexpr const char* kField = "X-tdr-key";
  static constexpr const char* kAttachment = "drive-key.age";

  // The whole message, stamped with now (seconds since the epoch).
  static std::string Compose(const std::string& sealed, const std::string& address, int64_t now);
  // The sealed key a fetched message carries; false when it is no key
  // message.
  static bool Sealed(const std::string& message, std::string& sealed);
};
