#!/bin/sh
# wine_session.sh start|stop WINE PREFIX
# start: sets up the Wine prefix (created on first use, which takes several
# seconds) and keeps one wineserver running for it, so that each test's program
# starts at once instead of bringing up a server and Wine's services of its own.
# stop: ends that wineserver and with it Wine's services.
# Wine's background processes get no handle on this script's output (the test
# runner would wait for them); their words go to PREFIX.log and are shown on
# failure.
set -u
action=$1 wine=$2 prefix=$3
server=$(dirname "$wine")/wineserver
log=$prefix.log
export WINEPREFIX="$prefix" WINEDEBUG=-all
case $action in
  start)
    mkdir -p "$prefix" || exit 1
    # The server goes away by itself two minutes after its last program, should
    # the stop step never run.
    "$server" -p120 </dev/null >"$log" 2>&1
    if ! "$wine" wineboot --init </dev/null >>"$log" 2>&1; then
      cat "$log"
      exit 1
    fi
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1
    exit 0
    ;;
  *)
    echo "usage: $0 start|stop WINE PREFIX" >&2
    exit 2
    ;;
esac
