#include "store/OAuthLogin.h"

#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

constexpr const char* kCreate = "CREATE TABLE IF NOT EXISTS oauth_login(provider text)";

bool HasTable(CppSQLite3DB& db) {
  StoreStatement q(db, "select count(*) as n from sqlite_master where name='oauth_login'");
  return q.executeStep() && q.getInt("n") != 0;
}

}  // namespace

OAuthLogin::OAuthLogin(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty() || !FileExists(path)) return;
  RunStoreBody(
      db_, "OAuthLogin open error", [&] { db_.OpenDb(path); }, false);
}

bool OAuthLogin::Read(std::string& provider_json) {
  bool found = false;
  bool ok = db_.IsOpen() && RunStoreBody(
                                db_, "ReadOAuthLogin error",
                                [&] {
                                  if (!HasTable(db_)) return;
                                  StoreStatement q(db_, "select provider from oauth_login");
                                  if (!q.executeStep()) return;
                                  provider_json = q.getText("provider");
                                  found = true;
                                },
                                false);
  return ok && found;
}

bool OAuthLogin::Write(const std::string& provider_json) {
  return db_.IsOpen() && RunStoreBody(
                             db_, "WriteOAuthLogin error",
                             [&] {
                               db_.RunStatement(kCreate);
                               db_.RunStatement("delete from oauth_login");
                               StoreStatement q(db_, "insert into oauth_login(provider) values(?)");
                               q.bind(1, provider_json);
                               q.exec();
                             },
                             true);
}

bool OAuthLogin::Clear() {
  return db_.IsOpen() && RunStoreBody(
                             db_, "ClearOAuthLogin error",
                             [&] {
                               if (HasTable(db_)) db_.RunStatement("delete from oauth_login");
                             },
                             true);
}
