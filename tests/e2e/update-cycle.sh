#!/usr/bin/env bash
# Guards the update as users get it: the real programs against the real nginx of deploy/ serving a release made by
# deploy/make-release, in private network and PID namespaces so the configured host is ours and the updater's stop
# reaches only what this script started.
#   cycle: a Pagewell refreshing (--start, every 2 s) finds a newer release, update fetches it, asks the old one to end
#          (which saves its state), replaces it and starts the new one, which finds itself current and refreshes the
#          user's page as the old one did. Unsigned, the new one is then ended by SIGTERM within its watch, which is no
#          fault of the release; signed (an updater and a secret key given), the watch runs its full 30 s.
#   rollback: the same with a release whose program exits at once: the old Pagewell is put back and refreshes
#          as before, and the release is held, so the updater it starts does not fetch it again.
#   loop:  releases that list the updater first, or an installer that cannot start: at most one transfer, one updater
#          asking the server, and Pagewell refreshing throughout.
#   sweep: one update cut at each step of its hand-over, by killing the updater or every process of the folder (a
#          power cut), then Pagewell started as at login: one Pagewell refreshing, the old or the new program, nothing
#          left over. The updater given is one that cuts itself (tests/e2e/crash_updater.cpp).
#   kill:  update is killed at random moments of a slow download and its hand-over; the program is always the old or
#          the new one.
# Usage: update-cycle.sh cycle|rollback|loop|sweep|kill <source> <program folder> <refresher host> <update host>
#        [updater [secret key]]
set -euo pipefail
mode=$1 src=$2 bin=$3 rhost=$4 uhost=$5 updater=${6:-$3/update} key=${7:-}
if [ -z "${PAGEWELL_IN_NAMESPACE:-}" ]; then
    [ "$rhost" = "$uhost" ] || { echo "skipped: one server serves both hosts here, not $rhost and $uhost"; exit 77; }
    [[ "$uhost" =~ ^(127\.[0-9.]+|localhost)(:[0-9]+)?$ ]] ||
        { echo "skipped: the configured host $uhost is not a loopback address this test could serve"; exit 77; }
    [ "$(id -u)" = 0 ] && unshare --net --pid --fork --mount-proc true 2>/dev/null ||
        { echo "skipped: private network and PID namespaces need root"; exit 77; }
    PAGEWELL_IN_NAMESPACE=1 exec unshare --net --pid --fork --mount-proc bash "$0" "$@"
fi
ip link set lo up
port=${uhost##*:}
[ "$port" = "$uhost" ] && port=80
work=$(mktemp -d)
trap '"$src/deploy/serve" stop "$work/server"; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; tail -n 20 "$work/server/access.log" 2>/dev/null; exit 1; }
waitfor() { for _ in $(seq $(($1 * 10))); do eval "$2" && return 0; sleep 0.1; done; fail "$3"; }
mkdir -p "$work/new" "$work/installed" "$work/home"
export HOME=$work/home QTWEBENGINE_DISABLE_SANDBOX=1
log=$work/server/access.log
# Requests in the log from line $from on; grep -c fails on a count of 0, which set -e would take for the test's failure.
from=1
count() { tail -n +"$from" "$log" | grep -c "GET /$1" || true; }
# The folder's files; the lock of an updater still alive is none of its leftovers.
files() { ls -A "$work/installed" | grep -vx "${1:-update.lock}" | tr '\n' ' '; }
# Pagewell asks for the user's page n more times within s seconds.
refreshes() { local n=$(($(count 'page?rn=') + $1)); waitfor "$2" '[ "$(count "page?rn=")" -ge $n ]' "$3"; }
# Which program the folder holds, old or new.
program() {
    cmp -s "$work/installed/Pagewell" "$work/new/Pagewell" && echo new ||
        { cmp -s "$work/installed/Pagewell" "${1:-$work/old}" && echo old || echo neither; }
}
# A release of the new folder, and an installed Pagewell (the build's, one byte longer) with its settings.
release() {
    "$src/deploy/make-release" "$work/new" "$work/release" --local --tag v-next --file-version 65535.0.0.0 "$@" >/dev/null
    "$src/deploy/serve" start "$work/release" "$port" "$work/server"
}
install() {
    rm -rf "$work/installed"/*
    cp "$updater" "$work/installed/update"
    { cat "$bin/Pagewell"; echo "installed copy"; } | tee "$work/old" >"$work/installed/Pagewell"
    chmod 755 "$work/installed/Pagewell"
    printf '[x]\r\nTEXT2=%s/page\r\nTEXT1=600\r\n' "$rhost" >"$work/installed/user.ini"
}

if [ "$mode" = kill ]; then
    # A program that runs (through its watch), 4 MiB long.
    { printf '#!/bin/sh\nexec sleep 60\n'; head -c $((4 << 20)) /dev/urandom; } >"$work/new/Pagewell"
    chmod 755 "$work/new/Pagewell"
    printf 'old program\n' >"$work/old-program"
    chmod 755 "$work/old-program"
    PAGEWELL_SERVE_LIMIT_RATE=4m release
    old=0 new=0
    for run in $(seq 24); do
        cp -p "$work/old-program" "$work/installed/Pagewell"
        cp "$updater" "$work/installed/update"
        # Each run starts from an installed program, not from the last one's watch cut short (which the next run
        # settles, here by a rollback and a hold that would end every later run before its download).
        rm -f "$work/installed/update.hold" "$work/installed/Pagewell.previous"*
        "$work/installed/update" >/dev/null 2>&1 &
        sleep "$(awk -v r=$RANDOM 'BEGIN { print 0.5 + 7.5 * r / 32767 }')"
        kill -KILL $! 2>/dev/null || true
        wait $! 2>/dev/null || true
        case $(program "$work/old-program") in old) old=$((old + 1)) ;; new) new=$((new + 1)) ;;
            *) fail "kill $run left a program that is neither the old nor the new one" ;; esac
    done
    [ "$(ls -A "$work/installed" | grep -c '\.part$')" -le 1 ] || fail "killed transfers piled up: $(ls -A "$work/installed")"
    echo "24 kills: $old left the old program, $new the new one"
    [ "$old" -gt 0 ] && [ "$new" -gt 0 ] || fail "the kills did not land both before and after the replacement"
    exit 0
fi

if [ "$mode" = loop ]; then
    cp "$bin/Pagewell" "$work/new/Pagewell"
    head -c 4096 /dev/urandom >"$work/new/setup"
    for list in "update|Pagewell" "setup|Pagewell"; do
        release --files "$list"
        install
        from=$(($(wc -l <"$log") + 1))
        "$work/installed/Pagewell" --start --url="$rhost/page" --interval=1 >/dev/null 2>&1 &
        sleep 20
        for name in update setup Pagewell; do [ "$(count "updata/$name ")" -le 1 ] || fail "$list: fetched twice"; done
        [ "$(count 'updata/updata.asp?v=')" = 1 ] || fail "$list: more than one updater asked the server"
        refreshes 3 5 "$list: Pagewell does not refresh"
        [ "$(pgrep -c -x Pagewell)" = 1 ] || fail "$list: not one Pagewell running"
        [ "$list" = "update|Pagewell" ] || [ -f "$work/installed/update.hold" ] || fail "$list: the release was not held"
        pkill -x Pagewell; pkill -x update || true
        waitfor 10 '! pgrep -x "Pagewell|update" >/dev/null' "$list: the programs did not end"
    done
    echo "no loop"
    exit 0
fi

if [ "$mode" = sweep ]; then
    cp "$bin/Pagewell" "$work/new/Pagewell"
    release
    echo "| Cut at | Killed | Pagewell afterwards | Program file | Left in the folder after the next settle |"
    echo "|---|---|---|---|---|"
    for cut in stopped marked kept replaced launched watching confirmed; do
        for how in updater power; do
            install
            printf v-next >"$work/release/texts/refresher-version.txt"
            from=$(($(wc -l <"$log") + 1))
            PAGEWELL_CRASH_AT="$cut $how" PAGEWELL_WATCH_MS=4000 "$work/installed/Pagewell" --start \
                --url="$rhost/page" --interval=1 >/dev/null 2>&1 &
            waitfor 60 '[ "$(count "updata/Pagewell ")" = 1 ]' "$cut/$how: the updater never fetched the new Pagewell"
            # From here on no Pagewell asks for an update: what the cut left is settled by Pagewell alone.
            : >"$work/release/texts/refresher-version.txt"
            waitfor 30 '! pgrep -x update >/dev/null' "$cut/$how: the updater was not cut"
            sleep 1
            pgrep -x Pagewell >/dev/null && started=running || started="started at login"
            [ "$started" = running ] || { "$work/installed/Pagewell" --start >/dev/null 2>&1 & }
            refreshes 2 30 "$cut/$how: Pagewell does not refresh"
            now=$(program) && [ "$now" != neither ] || fail "$cut/$how: the program is neither the old nor the new one"
            # A release cut after it started is undone and held: nothing proves it would have run.
            waitfor 10 '[ "$(files none | sed "s/update.hold //")" = "Pagewell update user.ini " ]' "$cut/$how: left $(files none)"
            [ "$now" = old ] || [ ! -f "$work/installed/update.hold" ] || fail "$cut/$how: the new one runs, held"
            [ "$(pgrep -c -x Pagewell)" = 1 ] || fail "$cut/$how: not one Pagewell running"
            echo "| $cut | $([ $how = power ] && echo "every process (power cut)" || echo "the updater") | $started |" \
                "$now | $([ -f "$work/installed/update.hold" ] && echo "the hold" || echo nothing) |"
            pkill -x Pagewell
            waitfor 10 '! pgrep -x Pagewell >/dev/null' "$cut/$how: Pagewell did not end"
        done
    done
    exit 0
fi

if [ "$mode" = rollback ]; then
    printf '#!/bin/sh\nexit 3\n' >"$work/new/Pagewell"
    chmod 755 "$work/new/Pagewell"
else
    cp "$bin/Pagewell" "$work/new/Pagewell"
fi
install
release ${key:+--sign "$key"}
"$work/installed/Pagewell" --start --url="$rhost/page" --interval=2 >"$work/pagewell.log" 2>&1 &
first=$!
waitfor 90 'grep -q "GET /updata/Pagewell " "$log"' "the updater never fetched the new Pagewell"
# The new Pagewell is current: a reply that is not a tag offers nothing. The restored one is offered the release again.
[ "$mode" = rollback ] || : >"$work/release/texts/refresher-version.txt"
from=$(grep -n -m1 "GET /updata/Pagewell " "$log" | cut -d: -f1)
if [ "$mode" = rollback ]; then
    # The updater it starts finds the first one still there (its box open) and ends without asking anything.
    waitfor 20 '[ "$(count "updata/pagewell/auto.asp")" -ge 1 ]' "the restored Pagewell never checked again"
    sleep 2
    [ "$(program)" = old ] || fail "the old Pagewell is not back"
    [ "$(cat "$work/installed/update.hold")" = v65535.0.0.0 ] || fail "the release was not held"
    [ "$(count "updata/updata.asp")$(count "updata/Pagewell ")" = 01 ] || fail "the held release was fetched again"
    refreshes 3 30 "the restored Pagewell does not refresh the user's page"
    pgrep -a -x Pagewell | grep -q -- "--interval=2 --start" || fail "the restored Pagewell lost its state"
    [ "$(files)" = "Pagewell update update.hold user.ini " ] || fail "stray files: $(files)"
    echo "rollback passed"
    exit 0
fi
waitfor 20 '! kill -0 "$first" 2>/dev/null' "the old Pagewell was not stopped"
since=$EPOCHREALTIME
refreshes 3 30 "the new Pagewell does not refresh the user's page"
pgrep -a -x Pagewell | grep -q -- "--interval=2 --start" ||
    fail "the new Pagewell was not handed the old one's state: $(pgrep -a -x Pagewell)"
# Ended by the session within its watch, it saves what it shows, and nothing is rolled back.
[ -n "$key" ] || pkill -TERM -x Pagewell
waitfor 40 '! pgrep -x update >/dev/null' "the updater did not end its watch"
[ -z "$key" ] || awk -v s="$since" -v e="$EPOCHREALTIME" 'BEGIN { exit !(e - s >= 29.5) }' ||
    fail "the watch ended before 30 s"
[ -z "$key" ] || pgrep -x Pagewell >/dev/null || fail "the new Pagewell is not running"
[ "$(program)" = new ] || fail "the installed Pagewell is not the release's"
[ -x "$work/installed/Pagewell" ] || fail "the new Pagewell lost its permission bits"
# Closed before it proved itself, the release keeps what it replaced for its next start to go on judging.
left="Pagewell ${key:+update user.ini }"
[ -n "$key" ] || left+="Pagewell.previous Pagewell.previous.closed Pagewell.previous.watch update user.ini "
[ "$(files none)" = "$left" ] || fail "stray files: $(files none)"
grep -q "TEXT2=http://$rhost/page" "$work/installed/user.ini" && grep -q "TEXT1=2" "$work/installed/user.ini" ||
    fail "the state was not saved: $(cat "$work/installed/user.ini")"
[ "$(grep -c 'GET /updata/updata.asp?v=Pagewell' "$log")" = 1 ] || fail "the updater ran more than once"
[ -z "$key" ] || grep -q "GET /updata/Pagewell.minisig " "$log" || fail "the signed-mode updater fetched no signature"
echo "update cycle passed${key:+ (signed)}"
