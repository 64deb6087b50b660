#include "app/DriveChoices.h"

#include <utility>
#include <vector>

#include "app/UiHooks.h"
#include "platform/FileHelpers.h"
#include "store/CachePolicy.h"
#include "store/HeldDeletions.h"

namespace {

// "/a/b" for "\\a\\b", as the mount shows it.
std::string Shown(const std::string& drive_path) { return "/" + DrivePathText(drive_path); }

std::string HeldText(const HeldDeletions::State& state) {
  std::string text = state.reason + "。本机尚未删除任何文件：\n";
  for (size_t i = 0; i < state.files.size() && i < DriveChoices::kListedFiles; ++i)
    text += "  " + Shown(state.files[i].path) + "\n";
  if (state.files.size() > DriveChoices::kListedFiles)
    text += "  …等共 " + std::to_string(state.files.size()) + " 个文件\n";
  return text + "\n重新上传：这些文件回到邮箱；在本机删除：本机也删除它们。";
}

}  // namespace

DriveChoices::DriveChoices(std::string data_dir, std::string user, std::string mount_point)
    : data_dir_(std::move(data_dir)), user_(std::move(user)), mount_point_(std::move(mount_point)) {}

bool DriveChoices::AnswerDeletions(QWidget* parent) {
  HeldDeletions held(data_dir_, user_);
  HeldDeletions::State state;
  if (!held.Read(state) || state.reason.empty()) {
    UiHooks::Get().message(parent, "没有等待处理的删除。");
    return false;
  }
  int answer = UiHooks::Get().choose(parent, HeldText(state), {"重新上传", "在本机删除", "以后再说"});
  if (answer != 0 && answer != 1) return false;
  bool keep = answer == 0;
  if (!held.Decide(keep ? HeldDeletions::Decision::kKeep : HeldDeletions::Decision::kApply)) {
    UiHooks::Get().message(parent, "无法保存您的选择，请稍后再试。");
    return false;
  }
  return true;
}

bool DriveChoices::ChoosePin(QWidget* parent, bool pin) {
  std::string chosen = UiHooks::Get().choose_folder(
      parent, pin ? "选择要固定到本机的文件夹" : "选择要取消固定的文件夹", mount_point_);
  if (chosen.empty()) return false;
  std::string path = mount_point_.empty() ? "" : DrivePathUnder(chosen, mount_point_);
  if (path.empty()) {
    UiHooks::Get().message(parent, "请选择Tandrel盘中的文件夹。");
    return false;
  }
  CachePolicy policy(data_dir_, user_);
  if (!(pin ? policy.Pin(path) : policy.Unpin(path))) {
    UiHooks::Get().message(parent, "无法保存您的选择，请稍后再试。");
    return false;
  }
  UiHooks::Get().message(parent, pin ? Shown(path) + " 将保存在本机，其内容在后台下载。"
                                     : Shown(path) + " 在缓存空间不足时可以移出本机。");
  return true;
}
