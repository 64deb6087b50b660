#include "platform/Keyring.h"

#include <libsecret/secret.h>

#include <cstdlib>

namespace {

const SecretSchema* Schema() {
  static const SecretSchema schema = {"org.tandrel.Password",
                                      SECRET_SCHEMA_NONE,
                                      {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                      0,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};
  return &schema;
}

// Takes the error and frees it; its message, or empty.
std::string Consume(GError*& error) {
  if (error == nullptr) return "";
  std::string text = error->message != nullptr ? error->message : "unknown error";
  g_error_free(error);
  error = nullptr;
  return text;
}

}  // namespace

bool Keyring::HasBus() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return bus != nullptr && *bus != '\0';
}

bool Keyring::Store(const std::string& user, const std::string& server, const std::string& password,
                    std::string& reason) {
  if (!HasBus()) {
    reason = "no session bus";
    return false;
  }
  std::string label = "Tandrel: " + user + " on " + server;
  GError* error = nullptr;
  gboolean ok = secret_password_store_sync(
      Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), nullptr, &error,
      "application", kApplication, "user", user.c_str(), "server", server.c_str(), nullptr);
  reason = Consume(error);
  if (!ok && reason.empty()) reason = "the Secret Service refused";
  return ok != FALSE;
}

bool Keyring::Lookup(const std::string& user, const std::string& server, std::string& password) {
  if (!HasBus()) return false;
  GError* error = nullptr;
  gchar* found =
      secret_password_lookup_sync(Schema(), nullptr, &error, "application", kApplication, "user",
                                  user.c_str(), "server", server.c_str(), nullptr);
  Consume(error);
  if (found == nullptr) return false;
  password = found;
  secret_password_free(found);
  return true;
}

bool Keyring::Clear(const std::string& user, const std::string& server) {
  if (!HasBus()) return true;
  GError* error = nullptr;
  secret_password_clear_sync(Schema(), nullptr, &error, "application", kApplication, "user",
                             user.c_str(), "server", server.c_str(), nullptr);
  return Consume(error).empty();
}
