#include "sync/SyncStatus.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// Values travel on one line each.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}


std::string Files(int n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

bool StateFromName(const std::string& name, SyncStatus::State& state) {
  for (auto s :
       {SyncStatus::State::kUpToDate, SyncStatus::State::kSyncing, SyncStatus::State::kOffline,
        SyncStatus::State::kQuotaFull, SyncStatus::State::kError}) {
    if (name == SyncStatus::StateName(s)) {
      state = s;
      return true;
    }
  }
  return false;
}

}  // namespace

SyncStatus& SyncStatus::Instance() {
  static SyncStatus* status = new SyncStatus();
  return *status;
}

void SyncStatus::NoteOnline() {
  std::lock_guard<std::mutex> lock(mutex_);
  link_ = Link::kOnline;
  error_on_ = false;
}

void SyncStatus::NoteOffline(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  link_ = Link::kOffline;
  if (!reason.empty()) {
    data_.last_error = OneLine(reason);
    data_.last_error_at = std::time(nullptr);
  }
}

void SyncStatus::NoteError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  error_on_ = true;
  data_.last_error = OneLine(text);
  data_.last_error_at = std::time(nullptr);
}

void SyncStatus::NoteQuotaFull(bool full) {
  std::lock_guard<std::mutex> lock(mutex_);
  quota_full_ = full;
}

void SyncStatus::NoteHeld(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.held = OneLine(reason);
}

void SyncStatus::NoteConflictCopies(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.conflict_copies += count;
}

void SyncStatus::SetPending(int uploads, int downloads, int64_t bytes_left) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.pending_uploads = uploads;
  data_.pending_downloads = downloads;
  data_.bytes_left = bytes_left;
}

void SyncStatus::SetQuota(int64_t used, int64_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.quota_used = used;
  data_.quota_limit = limit;
}

void SyncStatus::SetCapabilities(const std::vector<std::string>& capabilities) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.capabilities = capabilities;
}

void SyncStatus::SetOwner(const std::string& user, const std::string& mount_point, long pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  data_.user = user;
  data_.mount_point = mount_point;
  data_.pid = pid;
}

void SyncStatus::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  data_ = Snapshot{};
  link_ = Link::kUnknown;
  quota_full_ = false;
  error_on_ = false;
}

SyncStatus::Snapshot SyncStatus::Take() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Snapshot s = data_;
  if (link_ == Link::kOffline) {
    s.state = State::kOffline;
  } else if (!s.held.empty()) {
    s.state = State::kError;
  } else if (quota_full_) {
    s.state = State::kQuotaFull;
  } else if (error_on_) {
    s.state = State::kError;
  } else if (s.pending_uploads > 0 || s.pending_downloads > 0) {
    s.state = State::kSyncing;
  } else {
    s.state = State::kUpToDate;
  }
  return s;
}

const char* SyncStatus::StateName(State state) {
  switch (state) {
    case State::kUpToDate:
      return "up-to-date";
    case State::kSyncing:
      return "syncing";
    case State::kOffline:
      return "offline";
    case State::kQuotaFull:
      return "quota";
    case State::kError:
      return "error";
  }
  return "error";
}

std::string SyncStatus::Serialize(const Snapshot& s) {
  std::ostringstream out;
  out << "state=" << StateName(s.state) << "\n"
      << "user=" << OneLine(s.user) << "\n"
      << "mount_point=" << OneLine(s.mount_point) << "\n"
      << "pid=" << s.pid << "\n"
      << "pending_uploads=" << s.pending_uploads << "\n"
      << "pending_downloads=" << s.pending_downloads << "\n"
      << "bytes_left=" << s.bytes_left << "\n"
      << "last_error=" << OneLine(s.last_error) << "\n"
      << "last_error_at=" << static_cast<long long>(s.last_error_at) << "\n"
      << "quota_used=" << s.quota_used << "\n"
      << "quota_limit=" << s.quota_limit << "\n"
      << "conflict_copies=" << s.conflict_copies << "\n"
      << "held=" << OneLine(s.held) << "\n"
      << "capabilities=";
  for (size_t i = 0; i < s.capabilities.size(); ++i) out << (i ? " " : "") << s.capabilities[i];
  out << "\n";
  return out.str();
}

bool SyncStatus::Parse(const std::string& text, Snapshot& s) {
  std::istringstream in(text);
  std::string line;
  bool has_state = false;
  s = Snapshot{};
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    long long number = std::strtoll(value.c_str(), nullptr, 10);
    if (key == "state") {
      has_state = StateFromName(value, s.state);
    } else if (key == "user") {
      s.user = value;
    } else if (key == "mount_point") {
      s.mount_point = value;
    } else if (key == "pid") {
      s.pid = static_cast<long>(number);
    } else if (key == "pending_uploads") {
      s.pending_uploads = static_cast<int>(number);
    } else if (key == "pending_downloads") {
      s.pending_downloads = static_cast<int>(number);
    } else if (key == "bytes_left") {
      s.bytes_left = number;
    } else if (key == "last_error") {
      s.last_error = value;
    } else if (key == "last_error_at") {
      s.last_error_at = static_cast<std::time_t>(number);
    } else if (key == "quota_used") {
      s.quota_used = number;
    } else if (key == "quota_limit") {
      s.quota_limit = number;
    } else if (key == "conflict_copies") {
      s.conflict_copies = static_cast<int>(number);
    } else if (key == "held") {
      s.held = value;
    } else if (key == "capabilities") {
      std::istringstream words(value);
      for (std::string w; words >> w;) s.capabilities.push_back(w);
    }
  }
  return has_state;
}

std::string SyncStatus::StateLine(const Snapshot& s) {
  switch (s.state) {
    case State::kUpToDate:
      return "up to date";
    case State::kSyncing:
      return "syncing " + Files(s.pending_uploads + s.pending_downloads) + ", " +
             SyncStatus::BytesText(s.bytes_left) + " left";
    case State::kOffline:
      return "offline (the server cannot be reached; changes are kept)";
    case State::kQuotaFull:
      return "mailbox full (quota): uploads wait for free space";
    case State::kError:
      if (!s.held.empty())
        return "waiting for you: " + s.held + " (tandrel-cli deletions keep, or apply)";
      return "error: " + (s.last_error.empty() ? "unknown" : s.last_error);
  }
  return "error";
}

std::string SyncStatus::Describe(const Snapshot& s) {
  std::ostringstream out;
  out << "Account:     " << s.user << "\n"
      << "Mounted at:  " << s.mount_point << " (process " << s.pid << ")\n"
      << "State:       " << StateLine(s) << "\n"
      << "Uploads:     " << Files(s.pending_uploads) << " waiting\n"
      << "Downloads:   " << Files(s.pending_downloads) << " waiting\n";
  if (!s.last_error.empty()) {
    char when[32] = "?";
    std::tm tm{};
    if (localtime_r(&s.last_error_at, &tm) != nullptr)
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    out << "Last error:  " << s.last_error << " (" << when << ")\n";
  }
  if (s.quota_limit >= 0) {
    out << "Quota:       " << BytesText(s.quota_used < 0 ? 0 : s.quota_used) << " of "
        << BytesText(s.quota_limit) << " used\n";
  } else {
    out << "Quota:       unknown (the server reports none)\n";
  }
  out << "Capabilities:";
  if (s.capabilities.empty()) out << " none known yet";
  for (const std::string& c : s.capabilities) out << " " << c;
  out << "\n";
  return out.str();
}

std::string SyncStatus::BytesText(int64_t n) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(n);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[64];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(n));
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}
