#include "app/UiHooks.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QSystemTrayIcon>

#include "app/OpenerErrors.h"

namespace {

UiHooks Defaults() {
  UiHooks hooks;
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
