#pragma once

#include <functional>
#include <string>
#include <vector>

class QSystemTrayIcon;
class QWidget;

// The dialogs' ways out to the desktop, replaceable so that tests answer
// them: message boxes and questions, the secret asker, the folder chooser,
// the opener of addresses and folders (xdg-open), the tray's notifications,
// and whether a system tray exists.
// Thread contract: user-interface thread only.
struct UiHooks {
  // Shows text with an OK button.
  std::function<void(QWidget* parent, const std::string& text)> message;
  // Shows text with two buttons; true for the first (yes), false for the
  // second or a closed box.
  std::function<bool(QWidget* parent, const std::string& text, const std::string& yes,
                     const std::string& no)>
      ask;
  // Shows text with one button each; the index of the one pressed, -1 for
  // a closed box.
  std::function<int(QWidget* parent, const std::string& text,
                    const std::vector<std::string>& buttons)>
      choose;
  // The picked folder, or empty when the user cancelled.
  std::function<std::string(QWidget* parent, const std::string& title, const std::string& start)>
      choose_folder;
  // Opens an address or a local folder. False with reason set when the
  // opener could not be run; a failure found later goes to on_failure.
  std::function<bool(const std::string& target, std::string& reason,
                     std::function<void(const std::string& reason)> on_failure)>
      open;
  std::function<bool()> tray_available;
  // Asks for a secret, with text, in a field that hides it; empty when the
  // user cancelled.
  std::function<std::string(QWidget* parent, const std::string& text)> secret;
  // A desktop notification from the tray icon (its balloon message).
  std::function<void(QSystemTrayIcon* icon, const std::string& title, const std::string& text)>
      notify;

  // The process-wide hooks, with the desktop's own behaviour by default.
  static UiHooks& Get();
  // Back to the desktop's behaviour.
  static void Reset();
};
