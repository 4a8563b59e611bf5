#!/usr/bin/env bash
# A word where a command must stand that names no command: the word is named,
# the nearest command suggested, and the status is 2 (usage), also when
# --help follows it. Real commands after options with values still run.
set -u
CLI=$1
WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_unknown.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export CORVANE_HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$CORVANE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
FAILS=0
fail() { echo "FAIL: $*"; sed 's/^/    /' "$WORK/out" | head -8; FAILS=$((FAILS + 1)); }

# expect STATUS PATTERN ARGS...: the status, and PATTERN (grep -E) in the output.
expect() {
  local want=$1 pattern=$2; shift 2
  "$CLI" "$@" </dev/null >"$WORK/out" 2>&1
  local rc=$?
  [ "$rc" = "$want" ] || { fail "corvane-cli $* ended with $rc, not $want"; return; }
  grep -qE -- "$pattern" "$WORK/out" || fail "corvane-cli $*: no /$pattern/ in the output"
}

expect 2 'unknown command "upgrad"\. Did you mean "upgrade"\?' upgrad --port /dev/null img.bin
expect 2 'Did you mean "calibrate"' calib
expect 2 'unknown command "nosuch"' nosuch --help
grep -q "^Subcommands:" "$WORK/out" && fail "nosuch --help showed the top help"
grep -q "Commands: .*upgrade" "$WORK/out" || fail "nosuch without a near command does not list the commands"
expect 2 'corvane-cli fir: unknown command "shwo"\. Did you mean "show"\?' fir shwo x.bin
expect 2 'unknown command "sav"\. Did you mean "save"' tessel block sav
expect 2 'corvane-cli bootrom: unknown command "raed"' bootrom --port "$WORK/no-tty" raed 0

# Known commands are untouched.
expect 0 'Subcommands:' --help
expect 0 'Usage:' fir show --help
expect 5 '.' bootrom --port "$WORK/no-tty" read 0
expect 2 'required' fir

[ "$FAILS" = 0 ] || exit 1
echo PASS
