# shellcheck shell=bash
# The Wine prefix and the one Wine server the Windows tests run under.
# Sourced by windows_tests.sh and run.sh:
#
#   start_wine   makes the prefix when it has none yet (several seconds, once)
#                and starts one persistent Wine server for all the runs that
#                follow, unless a server already runs for this prefix; ends
#                the script, saying why, when it cannot
#   stop_wine    ends the server that start_wine started, if it did
#
# The prefix is $WINEPREFIX, by default /tmp/zub-wineprefix-USER. The locale
# decides Wine's ANSI code page (1252 for this one).
export LC_ALL=C.UTF-8 WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-/tmp/zub-wineprefix-$(id -un)}
wine_server_started=0

start_wine() {
  # A prefix is whole once its registry is saved; a first start that was
  # cut short is made again.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making the Wine prefix $WINEPREFIX (first use: several seconds)"
    local log
    log=$(mktemp)
    # Without Mono and Gecko, which would only ask to be downloaded.
    WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >"$log" 2>&1 || {
      echo "wine wineboot -i failed with status $?; its output:"
      cat "$log"
      rm -f "$log"
      exit 1
    }
    rm -f "$log"
    # wineboot returns while the server it started still runs; a persistent
    # one can start only once that one has ended.
    wineserver -w
  fi
  local status=0
  wineserver -p || status=$?
  case $status in
    0) wine_server_started=1 ;;
    # 2: the server's lock is taken, so a server runs for this prefix.
    2) echo "A Wine server already runs for $WINEPREFIX: the runs use it" ;;
    *)
      echo "wineserver -p failed with status $status: no Wine server for $WINEPREFIX"
      exit 1
      ;;
  esac
}

stop_wine() {
  [ "$wine_server_started" = 1 ] || return 0
  wineserver -k || true
  wine_server_started=0
}
