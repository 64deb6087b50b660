#include "AppTestEnv.h"

#include <sys/stat.h>

#include "app/CtandrelApp.h"
#include "app/UiHooks.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"

AppTestEnv::AppTestEnv()
    : home_("HOME", dir_.Sub("home")),
      data_("XDG_DATA_HOME", dir_.Sub("share")),
      config_("XDG_CONFIG_HOME", dir_.Sub("config")),
      runtime_("XDG_RUNTIME_DIR", dir_.Sub("run")),
      mount_("TANDREL_MOUNTPOINT", dir_.Sub("mnt")),
      web_("TANDREL_WEB_HOST", "127.0.0.1:1"),
      periods_("TANDREL_SYNC_PERIODS", "100,300"),
      bus_("DBUS_SESSION_BUS_ADDRESS", "") {
  MakeDir(dir_.Sub("home"));
  MakeDir(dir_.Sub("config"));
  MakeDir(Documents());
  MakeDir(dir_.Sub("run"), 0700);
  WriteFileBytes(dir_.Sub("config/user-dirs.dirs"), "XDG_DOCUMENTS_DIR=\"" + Documents() + "\"\n");
  UiHooks& hooks = UiHooks::Get();
  hooks.message = [this](QWidget*, const std::string& text) { messages.push_back(text); };
  hooks.ask = [this](QWidget*, const std::string& text, const std::string&, const std::string&) {
    questions.push_back(text);
    return answer_yes;
  };
  hooks.choose = [this](QWidget*, const std::string& text, const std::vector<std::string>&) {
    questions.push_back(text);
    return choice;
  };
  hooks.choose_folder = [this](QWidget*, const std::string&, const std::string&) {
    return chosen_folder;
  };
  hooks.open = [this](const std::string& target, std::string& reason,
                      std::function<void(const std::string&)>) {
    opened.push_back(target);
    if (open_fails) reason = "no opener";
    return !open_fails;
  };
  hooks.notify = [this](QSystemTrayIcon*, const std::string& title, const std::string& text) {
    notices.push_back(title + "|" + text);
  };
  hooks.tray_available = [] { return true; };
  hooks.secret = [this](QWidget*, const std::string& text) {
    secret_asks.push_back(text);
    if (secrets.empty()) return std::string();
    std::string typed = secrets.front();
    secrets.erase(secrets.begin());
    return typed;
  };
  ok_ = CtandrelApp::Prepare(ProgramDir());
}

AppTestEnv::~AppTestEnv() { UiHooks::Reset(); }
