#!/usr/bin/env bash
# Runs a command on a private session bus with a gnome-keyring-daemon whose
# login keyring is made and unlocked by a test password, in a private home;
# the daemon is stopped by its pid, the bus and the home go at the end.
set -u
if [ "${1:-}" != "--inside" ]; then
  home=$(mktemp -d /tmp/tandrel-keyring-XXXXXX)
  mkdir -p "$home/run" && chmod 700 "$home/run"
  HOME=$home XDG_DATA_HOME=$home/share XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home/run \
    dbus-run-session -- bash "$0" --inside "$@"
  rc=$?
  rm -rf "$home"
  exit $rc
fi
shift
printf 'keyring-test-password' |
  gnome-keyring-daemon --unlock --components=secrets --foreground >/dev/null 2>&1 &
daemon=$!
owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
    grep -q 'boolean true'
}
for _ in $(seq 100); do
  owned && break
  sleep 0.1
done
if ! owned; then
  echo "with_keyring: the keyring daemon did not come up" >&2
  kill "$daemon" 2>/dev/null
  exit 1
fi
"$@"
rc=$?
kill "$daemon" 2>/dev/null
wait "$daemon" 2>/dev/null
exit $rc
