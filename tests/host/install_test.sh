#!/usr/bin/env bash
# An installed tree: installed into a temporary prefix, it lists every tool
# wherever its data folder is, fills a new user's data folder with the
# stand-in STB-side files, starts offscreen, and its log lands in $CORVANE_HOME.
set -euo pipefail
CMAKE=$1
BUILD=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/corvane-install.XXXXXX")
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$T"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
wait_for() {  # condition, seconds
  for _ in $(seq 1 $(( $2 * 10 ))); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

"$CMAKE" --install "$BUILD" --prefix "$T/prefix" >/dev/null
P=$T/prefix
[ -f "$P/share/applications/corvane.desktop" ] || fail "no desktop entry"
[ -f "$P/share/icons/hicolor/scalable/apps/corvane.svg" ] || fail "no icon"
export QT_QPA_PLATFORM=offscreen
unset XDG_RUNTIME_DIR XDG_DATA_HOME

# A new user: no CORVANE_HOME, an empty home folder.
list=$(env -u CORVANE_HOME HOME="$T/user" "$P/bin/corvane" --list-plugins 2>&1)
echo "$list"
grep -q "Plug-in folder: $P/lib/corvane/plugins" <<<"$list" || fail "installed plug-in folder not named"
grep -q "Data folder: $T/user/.local/share/corvane" <<<"$list" || fail "data folder not named"
for tab in Com_Connection UPG Tessel PresetData; do
  grep -q "tab \"$tab\"" <<<"$list" || fail "tool $tab missing"
done
[ -f "$T/user/.local/share/corvane/upgclient.bin" ] || fail "stand-in files not copied on first start"

# CORVANE_HOME pointing at an empty folder still shows every tool.
mkdir -p "$T/home"
list2=$(CORVANE_HOME="$T/home" "$P/bin/corvane" --list-plugins 2>&1)
[ "$(grep -c 'plug-in ' <<<"$list2")" = "$(grep -c 'plug-in ' <<<"$list")" ] || fail "CORVANE_HOME changed the tools"

# Without XDG_RUNTIME_DIR the workbench starts without a word on stderr.
CORVANE_HOME="$T/home" "$P/bin/corvane" --screenshot "$T/shot.png" >/dev/null 2>"$T/shot.err" || fail "screenshot failed"
[ ! -s "$T/shot.err" ] || { cat "$T/shot.err"; fail "the workbench printed at start"; }

# Started for real, a command-line job's log lines reach its output pane and
# the day's log file in CORVANE_HOME.
export CORVANE_HOME="$T/home" XDG_RUNTIME_DIR="$T/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$P/bin/corvane" >"$T/corvane.out" 2>&1 &
PIDS+=($!)
wait_for '[ -S "$XDG_RUNTIME_DIR/corvane/Default Log Window" ]' 30 || fail "the workbench's log socket never appeared"
"$P/bin/stbsim" --platform 0 --link "$T/tty" </dev/null >"$T/sim.out" 2>&1 &
PIDS+=($!)
wait_for '[ -e "$T/tty" ]' 30 || fail "virtual STB did not start"
head -c 1000 /dev/urandom >"$T/img.bin"
set +e
"$P/bin/corvane-cli" upgrade --port "$T/tty" --project-type 0 --reset-timeout 1 "$T/img.bin" >"$T/cli.out" 2>&1
rc=$?
set -e
[ "$rc" = 6 ] || { cat "$T/cli.out"; fail "a box that never resets must end with exit status 6, not $rc"; }
wait_for 'grep -qs "Please reset the STB" "$CORVANE_HOME"/KvPLog_*.txt' 30 || fail "no log file in CORVANE_HOME"
echo PASS
