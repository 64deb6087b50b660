#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;

// The settings dialog: auto-start, auto login and the cache directory, read
// from and written to the setting row; for the signed-in account, content
// on demand and its cache limit (the account's database). A new cache directory is moved at
// Accept, between the session's pause and resume, so that no sync step and
// no open file meets the move.
// Thread contract: user-interface thread only.
class CSetting : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kCaption = "系统设置";
  static constexpr const char* kChooserTitle = "请选定一个文件夹用于存放同步文件";
  static constexpr const char* kMoveFailedText = "缓存目录移动失败，仍使用原来的缓存目录";
  static constexpr const char* kLimitInvalidText = "缓存上限请写成大小，例如 500M 或 20G";
  static constexpr const char* kDefaultLimit = "20G";

  struct Session {
    std::function<void()> pause;   // stops every use of the cache
    std::function<void()> resume;  // restarts with the cache the setting row names
    std::string user;              // the signed-in account; empty: none
  };

  CSetting(const std::string& program_path, Session session, QWidget* parent = nullptr);

  // The button handlers.
  void Change();
  void Accept();

  QCheckBox* AutoStartBox() const { return auto_start_; }
  QCheckBox* AutoLoginBox() const { return auto_login_; }
  std::string CacheText() const;
  QCheckBox* OnDemandBox() const { return on_demand_; }
  QLineEdit* LimitEdit() const { return limit_edit_; }

 private:
  void Initialise();
  // False (and says why) when the limit cannot be read.
  bool SaveCacheLimit();
  bool MoveCache(const std::string& from, const std::string& to);

  std::string program_path_;
  Session session_;
  QCheckBox* auto_start_;
  QCheckBox* auto_login_;
  QLineEdit* cache_edit_;
  QCheckBox* on_demand_;
  QLineEdit* limit_edit_;
  std::string previous_dir_;  // empty until another folder is picked
};
