#include "app/UiHooks.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QSystemTrayIcon>

#include "app/OpenerErrors.h"

namespace {

// The boxes that ask or tell the user something.
void AddDialogs(UiHooks& hooks) {
  hooks.message = [](QWidget* parent, const std::string& text) {
    QMessageBox::information(parent, QStringLiteral("Tandrel"), QString::fromStdString(text));
  };
  hooks.ask = [](QWidget* parent, const std::string& text, const std::string& yes,
                 const std::string& no) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tandrel"), QString::fromStdString(text),
                    QMessageBox::NoButton, parent);
    QPushButton* first = box.addButton(QString::fromStdString(yes), QMessageBox::AcceptRole);
    QPushButton* second = box.addButton(QString::fromStdString(no), QMessageBox::RejectRole);
    box.setDefaultButton(second);
    box.exec();
    return box.clickedButton() == first;
  };
  hooks.choose = [](QWidget* parent, const std::string& text,
                   const std::vector<std::string>& buttons) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tandrel"), QString::fromStdString(text),
                    QMessageBox::NoButton, parent);
    std::vector<QPushButton*> pressed;
    for (const std::string& b : buttons)
      pressed.push_back(box.addButton(QString::fromStdString(b), QMessageBox::ActionRole));
    if (!pressed.empty()) box.setDefaultButton(pressed.back());
    box.exec();
    for (size_t i = 0; i < pressed.size(); ++i)
      if (box.clickedButton() == pressed[i]) return static_cast<int>(i);
    return -1;
  };
  hooks.secret = [](QWidget* parent, const std::string& text) {
    bool ok = false;
    QString typed =
        QInputDialog::getText(parent, QStringLiteral("Tandrel"), QString::fromStdString(text),
                              QLineEdit::Password, QString(), &ok);
    return ok ? typed.toStdString() : std::string();
  };
}

UiHooks Defaults() {
  UiHooks hooks;
  AddDialogs(hooks);
  hooks.choose_folder = [](QWidget* parent, const std::string& title, const std::string& start) {
    return QFileDialog::getExistingDirectory(parent, QString::fromStdString(title),
                                             QString::fromStdString(start))
        .toStdString();
  };
  hooks.open = [](const std::string& target, std::string& reason,
                  std::function<void(const std::string&)> on_failure) {
    // xdg-open may wait for the application it starts: its end is watched,
    // not awaited.
    auto* process = new QProcess();
    QObject::connect(
        process, &QProcess::finished, process,
        [process, on_failure](int code, QProcess::ExitStatus status) {
          if ((status != QProcess::NormalExit || code != 0) && on_failure)
            on_failure(OpenerErrors::Reason(status == QProcess::NormalExit ? code : -1));
          process->deleteLater();
        });
    process->start(QStringLiteral("xdg-open"), {QString::fromStdString(target)});
    if (!process->waitForStarted(5000)) {
      reason = OpenerErrors::NotStarted();
      delete process;
      return false;
    }
    return true;
  };
  hooks.notify = [](QSystemTrayIcon* icon, const std::string& title, const std::string& text) {
    icon->showMessage(QString::fromStdString(title), QString::fromStdString(text));
  };
  hooks.tray_available = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  return hooks;
}

}  // namespace

UiHooks& UiHooks::Get() {
  static UiHooks hooks = Defaults();
  return hooks;
}

void UiHooks::Reset() { Get() = Defaults(); }
