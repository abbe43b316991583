#!/bin/sh
# The Wine session the Windows tests share:
#   wine_session.sh start RUN   makes the prefix RUN uses, or checks the one
#                               there, with one Wine server kept up meanwhile
#   wine_session.sh stop RUN    stops that server
# RUN is the build's wine/run script; the server gets its environment (the
# prefix, and the architecture a new prefix is made for).
#
# The server is started before the first program of a prefix: a first
# program would start a server of its own, which lingers, and a second one
# cannot then start.  Wine's own programs are never given a pipe: the
# services a prefix starts keep whatever they were given open, and a reader
# waiting for the end of a pipe would wait as long as they run.
set -u
what=$1
run=$2
eval "$(grep '^export ' "$run")"
[ -n "${WINEPREFIX:-}" ] || { echo "no prefix named in $run"; exit 1; }
log=$WINEPREFIX.log

if [ "$what" = stop ]; then
    timeout 60 wineserver -k >/dev/null 2>&1
    exit 0
fi

# A server left from an earlier session may serve a prefix since removed.
timeout 60 wineserver -k >/dev/null 2>&1
for attempt in 1 2 3; do
    fresh=no
    [ -f "$WINEPREFIX/system.reg" ] || fresh=yes
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null || { echo "wineserver -p failed"; exit 1; }
    started=$(date +%s)
    timeout -k 10 300 "$run" cmd /c echo wine is up >"$log" 2>&1 </dev/null
    status=$?
    if grep -q "wine is up" "$log"; then
        # A new prefix's services end with its first program and start again
        # with the next: let them start here, not holding a test's pipes.
        timeout -k 10 120 "$run" cmd /c exit >>"$log" 2>&1 </dev/null
        echo "prefix $WINEPREFIX ready (new: $fresh) in $(($(date +%s) - started)) s"
        exit 0
    fi
    # A prefix can come out unusable ("could not load kernel32.dll" at every
    # start): make it again.
    echo "attempt $attempt: status $status, $(head -c 2000 "$log")"
    timeout 60 wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
done
echo "could not make a usable Wine prefix in $WINEPREFIX"
exit 1
