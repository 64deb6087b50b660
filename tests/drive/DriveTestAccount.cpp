#include "DriveTestAccount.h"

#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"

DriveTestAccount::DriveTestAccount()
    : home_("HOME", dir_.Sub("home")), data_("XDG_DATA_HOME", dir_.Sub("share")) {
  AccountRecord account;
  account.user = "drive@example.org";
  account.pwd = "pw";
  account.down_server = "127.0.0.1";
  account.port = 1;
  account.is_default = 1;
  ok_ = PrepareDataDir(DataDir() + "/bin/");
  {
    MetaStore store;
    ok_ = ok_ && store.AddAccount(account) && store.SetCurAccount(account.user);
  }
  engine_.Attach(account, cache_);
  ok_ = ok_ && engine_.RebuildFolderCache();
  context_ = std::make_unique<DriveContext>(engine_, cache_, account);
  ok_ = ok_ && !context_->cache_root().empty();
  DriveContext::Bind(context_.get());
}

DriveTestAccount::~DriveTestAccount() {
  DriveContext::Bind(nullptr);
  context_.reset();
}
