#include "sync/SyncContext.h"

#include <unistd.h>

#include "mail/ImapClient.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "sync/TransferProgress.h"

SyncContext::SyncContext(SyncStatus& status_sink, TransferProgress& progress_sink, std::string data)
    : status(status_sink),
      progress(progress_sink),
      data_dir(std::move(data)),
      mailbox(status_sink, data_dir) {
  char name[256] = {};
  machine = ::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "this machine";
}

KeptRecord SyncContext::KeepAs(KeptKind kind, const FileRecord& file,
                               const std::string& path) const {
  KeptRecord keep;
  keep.origin = file.Origin();
  keep.kind = kind;
  struct timespec now = wall_clock();
  keep.at = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  keep.size = file.total_size;
  keep.total_part = file.total_part;
  keep.machine = machine;
  keep.path = path;
  return keep;
}

std::string SyncContext::CacheRoot() const {
  MetaStore store(data_dir);
  return CacheRoot(store);
}

std::string SyncContext::CacheRoot(MetaStore& store) const {
  SettingRecord setting;
  if (!store.ReadSetting(setting)) return "";
  return CacheDir(setting.data_dir, account.user);
}

std::string SyncContext::Folder() const {
  std::string folder = mailbox.Folder();
  return folder.empty() ? kFolder : folder;
}

bool SyncContext::OpenMailbox(ImapClient& session, bool relearn) {
  if (!mailbox.Open(session, account, relearn).done()) {
    // A half-opened session would pass the connected test and fail every
    // command after it; closed, its next user opens it again.
    session.Close();
    return false;
  }
  return true;
}

bool SyncContext::EnsureOpen(ImapClient& session, bool relearn) {
  return session.IsConnected() || OpenMailbox(session, relearn);
}

void SyncContext::CountTransfers(ImapClient& session) {
  TransferProgress* sink = &progress;
  session.SetProgress([sink](uint32_t n) { sink->AddUploaded(n); },
                      [sink](uint32_t n) { sink->AddDownloaded(n); });
}
