#!/usr/bin/env bash
# Guards the update as users get it: the real programs against the real nginx of deploy/ serving a release made by
# deploy/make-release, in private network and PID namespaces so the configured host is ours and the updater's forced
# kill reaches only what this script started.
#   cycle: a Pagewell refreshing (--start, every 2 s) finds a newer release, update fetches it, stops the old one,
#          replaces it and starts the new one, which finds itself current and refreshes the user's page as the old one
#          did; user.ini is untouched. With an updater and a secret key, the release is signed.
#   rollback: the same with a release whose program exits at once: the old Pagewell is put back and refreshes
#          as before, and the release is held, so the updater it starts does not fetch it again.
#   kill:  update is killed at random moments of a slow download and its hand-over; the program is always the old or
#          the new one.
# Usage: update-cycle.sh cycle|rollback|kill <source> <program folder> <refresher host> <update host> [updater [secret key]]
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
cp "$updater" "$work/installed/update"
export HOME=$work/home QTWEBENGINE_DISABLE_SANDBOX=1

if [ "$mode" = kill ]; then
    # A program that runs (through its watch), 4 MiB long.
    { printf '#!/bin/sh\nexec sleep 60\n'; head -c $((4 << 20)) /dev/urandom; } >"$work/new/Pagewell"
    chmod 755 "$work/new/Pagewell"
    printf 'old program\n' >"$work/old"
    "$src/deploy/make-release" "$work/new" "$work/release" --local --tag v-next --file-version 65535.0.0.0 >/dev/null
    PAGEWELL_SERVE_LIMIT_RATE=4m "$src/deploy/serve" start "$work/release" "$port" "$work/server"
    old=0 new=0
    for run in $(seq 24); do
        cp "$work/old" "$work/installed/Pagewell"
        chmod 755 "$work/installed/Pagewell"
        # Each run starts from an installed program, not from the last one's watch cut short (which the next run
        # settles, here by a rollback and a hold that would end every later run before its download).
        rm -f "$work/installed/update.hold" "$work/installed/Pagewell.previous"*
        "$work/installed/update" >/dev/null 2>&1 &
        sleep "$(awk -v r=$RANDOM 'BEGIN { print 0.5 + 7.5 * r / 32767 }')"
        kill -KILL $! 2>/dev/null || true
        wait $! 2>/dev/null || true
        if cmp -s "$work/installed/Pagewell" "$work/old"; then old=$((old + 1))
        elif cmp -s "$work/installed/Pagewell" "$work/new/Pagewell"; then new=$((new + 1))
        else fail "kill $run left a program that is neither the old nor the new one"; fi
    done
    [ "$(ls -A "$work/installed" | grep -c '\.part$')" -le 1 ] || fail "killed transfers piled up: $(ls -A "$work/installed")"
    echo "24 kills: $old left the old program, $new the new one"
    [ "$old" -gt 0 ] && [ "$new" -gt 0 ] || fail "the kills did not land both before and after the replacement"
    exit 0
fi

if [ "$mode" = rollback ]; then
    printf '#!/bin/sh\nexit 3\n' >"$work/new/Pagewell"
    chmod 755 "$work/new/Pagewell"
else
    cp "$bin/Pagewell" "$work/new/Pagewell"
fi
{ cat "$bin/Pagewell"; echo "installed copy"; } >"$work/installed/Pagewell"
chmod 755 "$work/installed/Pagewell"
printf '[x]\r\nTEXT2=%s/page\r\nTEXT1=600\r\n' "$rhost" >"$work/installed/user.ini"
cp "$work/installed/user.ini" "$work/user.ini"
"$src/deploy/make-release" "$work/new" "$work/release" --local --tag v-next --file-version 65535.0.0.0 \
    ${key:+--sign "$key"} >/dev/null
"$src/deploy/serve" start "$work/release" "$port" "$work/server"
log=$work/server/access.log
"$work/installed/Pagewell" --start --url="$rhost/page" --interval=2 >"$work/pagewell.log" 2>&1 &
first=$!
waitfor 90 'grep -q "GET /updata/Pagewell " "$log"' "the updater never fetched the new Pagewell"
# The new Pagewell is current: a reply that is not a tag offers nothing. The restored one is offered the release again.
[ "$mode" = rollback ] || : >"$work/release/texts/refresher-version.txt"
served=$(grep -n -m1 "GET /updata/Pagewell " "$log" | cut -d: -f1)
# grep -c fails on a count of 0, which set -e would take for the test's failure.
pages() { tail -n +"$served" "$log" | grep -c "GET /page?rn=" || true; }
count() { grep -c "GET /updata/$1" "$log" || true; }
if [ "$mode" = rollback ]; then
    waitfor 20 '[ "$(count "updata.asp?v=")" -ge 2 ]' "the restored Pagewell never checked again"
    sleep 2
    cmp -s "$work/installed/Pagewell" <(cat "$bin/Pagewell"; echo "installed copy") || fail "the old Pagewell is not back"
    [ "$(cat "$work/installed/update.hold")" = v65535.0.0.0 ] || fail "the release was not held"
    [ "$(count "updata.asp?e=")$(count "Pagewell ")" = 11 ] || fail "the held release was fetched again"
    stopped=$(pages)
    waitfor 30 '[ "$(pages)" -ge $((stopped + 3)) ]' "the restored Pagewell does not refresh the user's page"
    pgrep -a -x Pagewell | grep -q -- "--interval=2 --start" || fail "the restored Pagewell lost its state"
    [ "$(ls -A "$work/installed" | tr '\n' ' ')" = "Pagewell update update.hold user.ini " ] ||
        fail "stray files: $(ls -A "$work/installed")"
    echo "rollback passed"
    exit 0
fi
waitfor 20 '! kill -0 "$first" 2>/dev/null' "the old Pagewell was not stopped"
stopped=$(pages)
waitfor 30 '[ "$(pages)" -ge $((stopped + 3)) ]' "the new Pagewell does not refresh the user's page"
waitfor 40 '! pgrep -x update >/dev/null' "the updater did not end its watch"
pgrep -x Pagewell >/dev/null || fail "the new Pagewell is not running"
cmp -s "$work/installed/Pagewell" "$work/new/Pagewell" || fail "the installed Pagewell is not the release's"
[ -x "$work/installed/Pagewell" ] || fail "the new Pagewell lost its permission bits"
[ "$(ls -A "$work/installed" | tr '\n' ' ')" = "Pagewell update user.ini " ] || fail "stray files: $(ls -A "$work/installed")"
cmp -s "$work/installed/user.ini" "$work/user.ini" || fail "the settings changed"
pgrep -a -x Pagewell | grep -q -- "--interval=2 --start" ||
    fail "the new Pagewell was not handed the old one's state: $(pgrep -a -x Pagewell)"
[ "$(grep -c 'GET /updata/updata.asp?v=Pagewell' "$log")" = 1 ] || fail "the updater ran more than once"
[ -z "$key" ] || grep -q "GET /updata/Pagewell.minisig " "$log" || fail "the signed-mode updater fetched no signature"
echo "update cycle passed${key:+ (signed)}"
