#pragma once

#include <QDialog>

// The about box: "关于 tandrel", the version line and OK.
// Thread contract: user-interface thread only.
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kCaption = "关于 tandrel";
  static constexpr const char* kVersionLine = "tandrel，1.0 版";

  explicit CAboutDlg(QWidget* parent = nullptr);
};
