#!/usr/bin/env bash
# The two set-up commands: `make run` installs and configures only what
# building and running need; `make test` adds the test packages and turns the
# tests on. Checked on the package lists, on make's dry runs and on a
# configuration without GoogleTest.
set -uo pipefail
CMAKE=$1
SRC=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/corvane-setup.XXXXXX")
trap 'rm -rf "$T"' EXIT
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
has() { grep -qx -- "$2" <<<"$1"; }

run_set=$(bash "$SRC/scripts/install-deps" --list) || fail "install-deps --list failed"
test_set=$(bash "$SRC/scripts/install-deps" --list --tests) || fail "install-deps --list --tests failed"
for p in qt6-base-dev libserialport-dev libcli11-dev fonts-wqy-microhei; do
  has "$run_set" "$p" || fail "running needs $p"
done
for p in ffmpeg ser2net clang-14 libgtest-dev libdvbpsi-dev python3-xlwt p7zip-full gnumeric; do
  ! has "$run_set" "$p" || fail "make run installs $p, which only the tests use"
done
for p in ffmpeg ser2net clang-14 libgtest-dev libdvbpsi-dev python3-xlwt p7zip-full; do
  has "$test_set" "$p" || fail "make test does not install $p"
done
while read -r p; do
  has "$test_set" "$p" || fail "the test set lacks the run package $p"
done <<<"$run_set"
bash "$SRC/scripts/install-deps" --no-such-set >/dev/null 2>&1 && fail "an unknown option was taken"

# What the two targets would do in a folder that was never configured.
run_plan=$(make -s -n -C "$SRC" run BUILD="$T/b" 2>&1)
test_plan=$(make -s -n -C "$SRC" test-main BUILD="$T/b" 2>&1)
grep -q "install-deps" <<<"$run_plan" || fail "make run installs nothing: $run_plan"
! grep -q -- "--tests" <<<"$run_plan" || fail "make run installs the test packages"
grep -q -- "-DCORVANE_TESTS=OFF" <<<"$run_plan" || fail "make run configures the tests"
grep -q "install-deps --tests" <<<"$test_plan" || fail "make test does not install the test packages"
grep -q -- "-DCORVANE_TESTS=ON" <<<"$test_plan" || fail "make test does not turn the tests on"

# Without the tests, configuring needs no GoogleTest and still offers the programs.
if "$CMAKE" -S "$SRC" -B "$T/programs" -G Ninja -DCORVANE_TESTS=OFF \
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$T/cfg.log" 2>&1; then
  grep -q "corvane-programs" "$T/programs/build.ninja" || fail "no corvane-programs target"
  ! grep -q "host_tests" "$T/programs/build.ninja" || fail "the tests were configured"
else
  tail -20 "$T/cfg.log"; fail "configuring the programs alone needs a test package"
fi

[ "$FAILS" = 0 ] || exit 1
echo PASS
