#include "app/TrayStatus.h"

#include <cstdio>

namespace {

using State = SyncStatus::State;

std::string Size(int64_t n) {
  const char* units[] = {"字节", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(n < 0 ? 0 : n);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[64];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%lld 字节", static_cast<long long>(n < 0 ? 0 : n));
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

}  // namespace

std::string TrayStatus::StateLine(const SyncStatus::Snapshot& s) {
  switch (s.state) {
    case State::kUpToDate:
      return "已同步";
    case State::kSyncing:
      return "正在同步 " + std::to_string(s.pending_uploads + s.pending_downloads) +
             " 个文件，剩余 " + Size(s.bytes_left);
    case State::kOffline:
      return "离线：无法连接服务器，更改已保存在本地";
    case State::kQuotaFull:
      return "邮箱已满（配额）：上传等待可用空间";
    case State::kError:
      if (!s.held.empty()) return "等待您的选择：" + s.held;
      if (SyncStatus::SignInNeeded(s)) return "错误：需要重新登录";
      return "错误：" + (s.last_error.empty() ? std::string("未知") : s.last_error);
  }
  return "错误";
}

TrayStatus::Badge TrayStatus::BadgeFor(State state) {
  switch (state) {
    case State::kUpToDate:
      return Badge::kNone;
    case State::kSyncing:
      return Badge::kSyncing;
    case State::kOffline:
      return Badge::kOffline;
    case State::kQuotaFull:
    case State::kError:
      return Badge::kError;
  }
  return Badge::kError;
}

std::vector<TrayStatus::Notice> TrayStatus::Update(const SyncStatus::Snapshot& s, std::time_t now) {
  std::vector<Notice> notices;
  bool full = s.state == State::kQuotaFull;
  if (full && !quota_told_) {
    notices.push_back({"邮箱已满", "文件已保存在本地，邮箱有可用空间后将自动上传。"});
  }
  quota_told_ = full;

  // A new session starts its count again.
  if (s.conflict_copies < conflicts_told_) conflicts_told_ = 0;
  if (s.conflict_copies > conflicts_told_) {
    notices.push_back({"已生成冲突副本", std::to_string(s.conflict_copies - conflicts_told_) +
                                             " 个文件因重名另存为冲突副本。"});
    conflicts_told_ = s.conflict_copies;
  }

  if (!s.held.empty() && s.held != held_told_) {
    notices.push_back({"删除已暂停", s.held +
                                         "。本机未删除任何文件，请在托盘菜单“处理暂停的删除…”中选择重新上传或删除"
                                         "（或 tandrel-cli deletions keep / apply）。"});
  }
  held_told_ = s.held;

  bool sign_in = SyncStatus::SignInNeeded(s);
  if (sign_in && !sign_in_told_) {
    notices.push_back({"需要重新登录",
                       "邮箱服务商要求重新登录。文件和等待上传的更改都保留在本机，"
                       "请在托盘菜单“重新登录…”中登录（或 tandrel-cli signin）。"});
    error_told_ = true;  // this error has had its notice
  }
  sign_in_told_ = sign_in;

  if (s.state != State::kError) {
    error_since_ = 0;
    error_told_ = false;
  } else if (error_since_ == 0) {
    error_since_ = now;
  }
  if (error_since_ != 0 && !error_told_ && now - error_since_ >= kErrorNoticeAfter) {
    notices.push_back(
        {"同步出错", "同步错误已持续超过一分钟：" +
                         (s.last_error.empty() ? std::string("未知") : s.last_error)});
    error_told_ = true;
  }
  return notices;
}
