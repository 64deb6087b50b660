#!/usr/bin/env bash
# The README's first command as a new user runs it, headless: scripts/demo as
# this user (root in CI) with a home folder of mode 0700, on the programs of
# the build under test. A file copied onto the mount must reach the mailbox;
# SIGINT must end the demo with no mount and no server left behind.
set -u
root=$1 build=$2
work=$(mktemp -d /tmp/tandrel-demo-test-XXXXXX)
chmod 755 "$work"
home=$work/home mnt=$work/home/Tandrel
mkdir -m 700 "$home" "$work/run"
demo_pid=
fail() {
  echo "demo_test: $*" >&2
  echo "--- demo output:" >&2
  cat "$work/demo.log" >&2
  finish 1
}
finish() {
  if [ -n "$demo_pid" ] && kill -0 "$demo_pid" 2>/dev/null; then
    kill -INT -- "-$demo_pid" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$demo_pid" 2>/dev/null
  fi
  fusermount3 -u "$mnt" 2>/dev/null
  pkill -KILL -f "$work/" 2>/dev/null
  rm -rf "$work"
  exit "$1"
}
# wait_for SECONDS COMMAND...: polls the command until it succeeds or time runs out.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    kill -0 "$demo_pid" 2>/dev/null || return 1
    sleep 0.2
  done
}

HOME=$home TMPDIR=$work XDG_RUNTIME_DIR=$work/run TANDREL_DEMO_HEADLESS=1 \
  TANDREL_DEMO_BUILD=$build setsid bash "$root/scripts/demo" "$mnt" >"$work/demo.log" 2>&1 &
demo_pid=$!
wait_for 120 mountpoint -q "$mnt" || fail "the drive was not mounted"

head -c 300000 /dev/urandom >"$work/payload"
cp "$work/payload" "$mnt/hello.bin" || fail "cp onto the mount failed"
has_message() {
  python3 - "$home/.local/share/tandrel-demo/mail/demo@tandrel.test/.tandrel" "$work/payload" <<'PY'
import email, glob, sys
want = open(sys.argv[2], "rb").read()
for path in glob.glob(sys.argv[1] + "/cur/*") + glob.glob(sys.argv[1] + "/new/*"):
    for part in email.message_from_binary_file(open(path, "rb")).walk():
        if part.get_payload(decode=True) == want:
            sys.exit(0)
sys.exit(1)
PY
}
wait_for 60 has_message || fail "the file's message did not reach the mailbox"

kill -INT -- "-$demo_pid"
for _ in $(seq 1 300); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$demo_pid" 2>/dev/null && fail "the demo did not end on SIGINT"
wait "$demo_pid"; rc=$?
demo_pid=
[ "$rc" -eq 0 ] || fail "the demo ended with exit code $rc"
grep -q " $mnt " /proc/mounts && fail "a mount was left behind"
for _ in $(seq 1 50); do pgrep -f "$work/" >/dev/null || break; sleep 0.1; done
pgrep -af "$work/" >&2 && fail "a process of the demo was left behind"
echo "demo_test: mounted, uploaded and stopped cleanly"
finish 0
