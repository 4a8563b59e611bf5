#!/usr/bin/env bash
# corvane-cli with ports behind a serial server: the help names them, an
# unreachable or malformed one is a port error, and a dump of a virtual STB
# through ser2net (RFC 2217) works as on a local port.
set -u
CLI=$1
STBSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/cli_url_port.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

export CORVANE_HOME="$WORK/home"
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$CORVANE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

"$CLI" upgrade --help | grep -q "rfc2217://HOST:PORT" || fail "upgrade --help does not name URL ports"

# Nobody listens on port 1; a URL without a port number is no port.
out=$("$CLI" dump --port rfc2217://127.0.0.1:1 --project-type 0 "$WORK/x.bin" 2>&1)
rc=$?
[ $rc -eq 5 ] || fail "unreachable server: exit $rc, wanted 5 ($out)"
echo "$out" | grep -q "cannot connect to the serial server" || fail "no reason for the unreachable server: $out"
out=$("$CLI" dump --port socket://127.0.0.1 --project-type 0 "$WORK/x.bin" 2>&1)
rc=$?
[ $rc -eq 5 ] || fail "malformed URL: exit $rc, wanted 5 ($out)"
echo "$out" | grep -q "TCP port" || fail "no reason for the malformed URL: $out"
[ ! -e "$WORK/x.bin" ] || fail "a file was written"

SER2NET=""
for d in /usr/sbin /usr/bin /sbin; do [ -x "$d/ser2net" ] && SER2NET="$d/ser2net" && break; done
if [ -z "$SER2NET" ]; then
  echo "SKIP: ser2net is not installed (scripts/install-deps --tests installs it)"
  exit 0
fi

"$STBSIM" --write-stb-files "$CORVANE_HOME" >/dev/null || fail "stbsim could not write its files"
TTY="$WORK/stb.tty"
"$STBSIM" --platform 0 --flash-size 512K --auto-reset 200 --link "$TTY" </dev/null >"$WORK/stbsim.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do [ -e "$TTY" ] && break; sleep 0.1; done
[ -e "$TTY" ] || fail "the virtual STB did not start: $(cat "$WORK/stbsim.out")"

PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'connection: &box\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n' \
  "$PORT" "$(readlink -f "$TTY")" >"$WORK/ser2net.yaml"
"$SER2NET" -n -u -c "$WORK/ser2net.yaml" -P "$WORK/ser2net.pid" >"$WORK/ser2net.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done

"$CLI" dump --port "rfc2217://127.0.0.1:$PORT" --project-type 0 --size 512K --reset-timeout 60 \
  --report "$WORK/dump.json" "$WORK/dump.bin" >"$WORK/dump.out" 2>&1
rc=$?
[ $rc -eq 0 ] || fail "dump through ser2net: exit $rc: $(tail -5 "$WORK/dump.out") $(cat "$WORK/ser2net.out")"
[ "$(stat -c %s "$WORK/dump.bin")" = 524288 ] || fail "the dump is not 512 KiB"
grep -q '"ok": true' "$WORK/dump.json" || fail "report: $(cat "$WORK/dump.json")"
echo PASS
