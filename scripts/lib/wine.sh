# Wine for the Windows tests and the demo. Sourced by scripts/test, scripts/e2e, scripts/demo,
# scripts/zip-test and scripts/text-diff.

# winpath PATH: the Windows path of a Linux path (Wine maps / to Z:).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# start_wine_prefix DIR: makes DIR the WINEPREFIX, with Wine's messages off (unless WINEDEBUG is set)
# and without the Mono and Gecko installers, and boots it. Run it on the display the tests use.
start_wine_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
}

# stop_wine: ends the Wine server of WINEPREFIX, and every program still running in it.
stop_wine() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}
