#!/usr/bin/env bash
# The Debian package on this machine: dpkg -i, the installed programs run,
# the man pages found and lint-clean, the completion loaded by
# bash-completion, then dpkg -r and nothing of the package left.
#
# It never touches a jtagnand the user installed: when the package, or any
# file it would install, or a jtagnand manual is already present, it skips
# (status 77). Needs root (it skips otherwise). Runs of it on the same
# machine take turns through a lock, so that one never removes what another
# is testing.
#
# usage: system_test.sh PACKAGE_DIR VERSION
set -uo pipefail
dir=${1:?usage: system_test.sh PACKAGE_DIR VERSION}
version=${2:?}
deb=$dir/jtagnand_${version}_$(dpkg --print-architecture).deb
skip=77

skip() {
  echo "SKIPPED: $*"
  exit $skip
}
fail() {
  echo "FAIL: $*"
  exit 1
}

[[ $(id -u) == 0 ]] || skip "installing a package needs root (dpkg -i)"
[[ -f $deb ]] || skip "no package $deb: install.package made none"

exec 9> /tmp/jtagnand-install-test.lock
flock -w 600 9 || fail "another run of this test holds /tmp/jtagnand-install-test.lock"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')
status=$(dpkg-query -W -f='${db:Status-Status}' jtagnand 2> /dev/null)
[[ -z $status || $status == not-installed ]] ||
  skip "the package jtagnand is on this machine ($status): not touching it"
for file in $files; do
  [[ ! -e $file && ! -L $file ]] || skip "$file is already on this machine (make install?): not touching it"
done
man -w jtagnand > /dev/null 2>&1 && skip "a jtagnand manual is already on this machine: $(man -w jtagnand)"
command -v jtagnand > /dev/null && skip "a jtagnand is already on PATH: $(command -v jtagnand)"

# dpkg waits for no one: another package manager's lock is retried.
dpkg_run() {
  local output
  for _ in $(seq 60); do
    if output=$(dpkg "$@" 2>&1); then
      echo "$output"
      return 0
    fi
    [[ $output == *lock* ]] || { echo "$output"; return 1; }
    sleep 2
  done
  echo "$output"
  return 1
}

echo "== dpkg -i $(basename "$deb")"
# Slim Debian images tell dpkg to leave out every man page (path-exclude in
# /etc/dpkg/dpkg.cfg.d); these pages are what the test checks.
dpkg_run --path-include='/usr/share/man/man1/jtagnand*' -i "$deb" || fail "dpkg -i"
trap 'dpkg_run -r jtagnand > /dev/null' EXIT
trap 'exit 1' INT TERM  # a time-out's signal still removes the package, through the EXIT trap

failures=0
check() {  # check DESCRIPTION COMMAND...: runs it, shows its output, counts a failure
  local description=$1
  shift
  echo "== $description"
  "$@" || { echo "FAIL: $description"; failures=$((failures + 1)); }
}

help_shows_version() {
  local out
  out=$(/usr/bin/jtagnand -h) || return 1
  echo "$out" | sed -n '/VER/p'
  [[ $out == *"JTAG NAND Flash Writer, VER $version"* ]]
}
idcode_on_sim() {
  local out
  out=$(cd / && JTAGNAND_PORT=sim jtagnand -C ZELT -j 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  [[ $out == *"OK!, JTAG ID:"* ]]
}
manuals() {
  man -w jtagnand && man -w jtagnand-sim &&
    [[ $(man -w jtagnand) == /usr/share/man/man1/jtagnand.1.gz ]]
}
lint() {  # the installed pages, with style notes: their cross references resolve now
  local page out
  for page in /usr/share/man/man1/jtagnand.1.gz /usr/share/man/man1/jtagnand-sim.1.gz; do
    # One page a call: mandoc unpacks only the first. Its notes on the
    # machine's own mandoc.db (makewhatis not run) are not about the page.
    out=$(mandoc -T lint "$page" 2>&1) || { echo "$out"; return 1; }
    grep -v 'outdated mandoc.db' <<< "$out"
  done
  echo "mandoc -T lint: clean"
}
udev_rules() {  # udev's own parser reads every rules file and names the lines it refuses
  local device out
  local devices=(/sys/class/net/*)
  device=${devices[0]}
  out=$(udevadm test "$device" 2>&1)
  grep 'jtagnand' <<< "$out"
  grep -q 'Reading rules file: .*/60-jtagnand.rules' <<< "$out" &&
    ! grep -q '60-jtagnand.rules:[0-9]' <<< "$out"
}
completion() {
  # bash-completion loads a command's completion when it is first completed.
  bash -c 'source /usr/share/bash-completion/bash_completion &&
           _completion_loader jtagnand; _completion_loader jtagnand-sim
           complete -p jtagnand jtagnand-sim'
}

check "jtagnand -h" help_shows_version
check "JTAGNAND_PORT=sim jtagnand -C ZELT -j" idcode_on_sim
check "man -w" manuals
check "mandoc -T lint" lint
if command -v udevadm > /dev/null && [[ -d /sys/class/net ]]; then
  check "udev rules" udev_rules
else
  echo "== udev rules: no udevadm (or no /sys/class/net) here, not checked"
fi
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
  check "bash completion" completion
else
  echo "== bash completion: bash-completion is not installed, not checked"
fi

echo "== dpkg -r jtagnand"
trap - EXIT INT TERM
dpkg_run -r jtagnand || fail "dpkg -r"

echo "== nothing left"
status=$(dpkg-query -W -f='${db:Status-Status}' jtagnand 2> /dev/null)
[[ -z $status || $status == not-installed ]] || { echo "FAIL: dpkg still lists jtagnand: $status"; failures=$((failures + 1)); }
for file in $files; do
  [[ ! -e $file && ! -L $file ]] || { echo "FAIL: $file left behind"; failures=$((failures + 1)); }
done
if man -w jtagnand > /dev/null 2>&1; then
  echo "FAIL: man still finds $(man -w jtagnand)"
  failures=$((failures + 1))
fi
if command -v jtagnand > /dev/null; then
  echo "FAIL: jtagnand still on PATH: $(command -v jtagnand)"
  failures=$((failures + 1))
fi
((failures == 0)) || exit 1
echo "installed, run and removed: nothing left"
