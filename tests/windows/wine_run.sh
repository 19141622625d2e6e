#!/bin/sh
# Runs a Windows program under wine64 in a wine prefix of the build tree's own:
#   wine_run.sh <wine64> <prefix folder> <program.exe> [arguments...]
# The prefix is made once (wineboot; a few seconds), under a lock so that parallel tests wait
# for it. Wine's own messages stay quiet unless WINEDEBUG is set; the relay channel is
# limited to the error-box calls, so that WINEDEBUG=+relay shows exactly the boxes a program
# asks for (what the tests of a missing library look for: no display is needed for that).
set -eu
wine=$1
prefix=$2
shift 2

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no offer to install Mono or Gecko

if [ ! -f "$prefix/.klov-ready" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/.klov-ready" ]; then
            WINEDEBUG=-all "$wine" wineboot --init >/dev/null 2>&1
            WINEDEBUG=-all "$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
                /d 'user32.MessageBoxA;user32.MessageBoxW' /f >/dev/null 2>&1
            touch "$prefix/.klov-ready"
        fi
    ) 9>"$prefix.lock"
fi
# Wine's own processes (its server and the system services it starts with the first program)
# are started here, apart from our output: started by the program, they would inherit its
# standard output and error and hold them open for the seconds they outlive it, which a
# caller reading them to their end (ctest) would wait out. They end by themselves as usual,
# a few seconds after the last program.
WINEDEBUG=-all "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
