#!/usr/bin/env bash
# Guards the update as users get it: the real programs against the real nginx of deploy/ serving a release made by
# deploy/make-release, in private network and PID namespaces so the configured host is ours and the updater's stop
# reaches only what this script started.
#   cycle: a Pagewell refreshing (--start, every 2 s) finds a newer release, update fetches it, asks the old one to end
#          (which saves its state), replaces it and starts the new one, which refreshes the user's page as the old one
#          did. Unsigned, the new one is then ended by SIGTERM within its watch, which is no fault of the release, and
#          started again as at login. Signed (an updater, a secret key's path without .key and an updater that trusts
#          that key and the next one, <key>2, given), the watch runs its full 30 s, the release brings the updater
#          that trusts both keys, which then takes a release signed by the next key alone and refuses one signed by
#          <key>3, which no updater trusts.
#   rollback: the same with a release whose program exits at once: the old Pagewell is put back and refreshes
#          as before, and the release is held, so the updater it starts does not fetch it again.
#   loop:  releases that list the updater first, or an installer that cannot start: each file fetched at most once,
#          one updater asking the server, and Pagewell refreshing throughout.
#   sweep: one update cut at each step of its hand-over, by killing the updater or every process of the folder (a
#          power cut), then Pagewell started as at login: one Pagewell refreshing, the old or the new program, nothing
#          left over but the hold of a release put back. The updater given is one that cuts itself
#          (tests/e2e/crash_updater.cpp); then a release that crashes 10 s after its window shows
#          (tests/e2e/crash_refresher.cpp, the 7th argument), put back by its updater, or, that updater killed once the
#          release runs, by the release itself when started at login.
#   kill:  update is killed at random moments of a slow download and its hand-over; the program is always the old or
#          the new one.
#   build: builds update and Pagewell of commit 140b551 in <program folder> (skipped when the clone lacks it).
#   skew:  the programs of 140b551 (the 6th argument) meet today's: 140b551's updater takes today's Pagewell, and puts
#          back one that crashes (the 7th argument); today's updater, in a folder of 140b551's Pagewell, takes a
#          release listing Pagewell|update and replaces both.
# Usage: update-cycle.sh cycle|rollback|loop|sweep|kill|build|skew <source> <program folder> <refresher host>
#        <update host> [updater, or 140b551's programs [secret key, or crashing refresher [next key's updater]]]
set -euo pipefail
mode=$1 src=$2 bin=$3 rhost=$4 uhost=$5 updater=${6:-$3/update} extra=${7:-}
skip() { echo "skipped: $*"; exit 77; }
if [ "$mode" = build ]; then
    git -C "$src" cat-file -e '140b551^{commit}' 2>/dev/null || skip "140b551 is not in this clone"
    mkdir -p "$bin"; git -C "$src" archive 140b551 | tar -x -C "$bin"
    cmake -S "$bin" -B "$bin/build" -DCMAKE_BUILD_TYPE=Release -DPAGEWELL_BUILD_TESTS=OFF -DPAGEWELL_BUILD_BENCH=OFF \
        -DPAGEWELL_REFRESHER_HOST="$rhost" -DPAGEWELL_UPDATE_HOST="$uhost" >/dev/null
    exec cmake --build "$bin/build" -j"$(nproc)" --target update Pagewell
fi
[ "$mode" != skew ] || [ -x "$updater/update" ] || skip "140b551's programs were not built"
if [ -z "${PAGEWELL_IN_NAMESPACE:-}" ]; then
    [ "$rhost" = "$uhost" ] || skip "one server serves both hosts here, not $rhost and $uhost"
    [[ "$uhost" =~ ^(127\.[0-9.]+|localhost)(:[0-9]+)?$ ]] || skip "the host $uhost is not loopback, which this serves"
    [ "$(id -u)" = 0 ] && unshare --net --pid --fork --mount-proc true 2>/dev/null || skip "namespaces need root"
    PAGEWELL_IN_NAMESPACE=1 exec unshare --net --pid --fork --mount-proc bash "$0" "$@"
fi
ip link set lo up
[[ "$uhost" =~ :([0-9]+)$ ]] && port=${BASH_REMATCH[1]} || port=80
work=$(mktemp -d) && dir=$work/installed
trap '"$src/deploy/serve" stop "$work/server"; rm -rf "$work"' EXIT
mkdir -p "$work/new" "$dir" "$work/home"
# An updater of 140b551 keeps its lock in the temporary folder.
export HOME=$work/home TMPDIR=$work/home QTWEBENGINE_DISABLE_SANDBOX=1
log=$work/server/access.log tag=$work/release/texts/refresher-version.txt from=1 held=v65535.0.0.0
fail() { echo "FAILED: $*"; tail -n 20 "$log" 2>/dev/null; exit 1; }
waitfor() { for _ in $(seq $(($1 * 10))); do eval "$2" && return 0; sleep 0.1; done; fail "$3 (left: $(files none))"; }
# Requests in the log from line $from on; grep -c fails on a count of 0, which set -e would take for the test's failure.
count() { tail -n +"$from" "$log" | grep -c "GET /$1" || true; }
# The folder's files; the lock of an updater still alive is none of its leftovers.
files() { ls -A "$dir" | grep -vx "${1-update.lock}" | tr '\n' ' '; }
# Pagewell asks for the user's page n more times within s seconds.
refreshes() { local n=$(($(count 'page?rn=') + $1)); waitfor "$2" '[ "$(count "page?rn=")" -ge $n ]' "$3"; }
# Which program the folder holds, old or new (or neither: nothing).
program() { for p in new/Pagewell old; do cmp -s "$dir/Pagewell" "$work/$p" && echo "${p%/*}"; done; true; }
# A release of the given Pagewell (and what else the new folder holds), and an installed Pagewell (the build's unless
# given, one line longer) with an updater and the user's settings.
release() {
    cp "$1" "$work/new/Pagewell" && cd "$work"
    "$src/deploy/make-release" new release --local --tag v-next --file-version "${held#v}" "${@:2}" >/dev/null
    [ -f "$work/server/nginx.pid" ] || "$src/deploy/serve" start "$work/release" "$port" "$work/server"
}
install() {
    rm -rf "$dir"/*
    cp "${2:-$updater}" "$dir/update"
    { cat "${1:-$bin/Pagewell}"; echo "installed copy"; } | tee "$work/old" >"$dir/Pagewell"
    chmod 755 "$dir/Pagewell"
    printf '[x]\r\nTEXT2=%s/page\r\nTEXT1=600\r\n' "$rhost" >"$dir/user.ini"
}
script() { printf '#!/bin/sh\n%s\n' "$1" >"$work/${2:-script}" && chmod 755 "$work/${2:-script}"; }
stopall() { pkill -x 'Pagewell|update' || true; waitfor 10 '! pgrep -x "Pagewell|update" >/dev/null' "$1: still runs"; }
# The installed Pagewell, refreshing every 2 s, finds the release and its updater fetches it; unless kept, the tag is
# then taken away, so that a Pagewell started from here on asks for no update and what is left is settled without one.
start() { from=$(($(wc -l <"$log") + 1)); "$dir/Pagewell" --start --url="$rhost/page" --interval=2 >/dev/null 2>&1 & }
begin() {
    start && first=$!
    waitfor 90 '[ "$(count "updata/Pagewell")" -ge 1 ]' "the updater never fetched the new Pagewell or its signature"
    [ "${1:-}" = keep ] || : >"$tag"
}
# Pagewell refreshes the user's page in the state the old one handed on, from the old or the new program.
runs() {
    refreshes 3 30 "the $1 Pagewell does not refresh the user's page"
    pgrep -a -x Pagewell | grep -q -- "--interval=2 --start" || fail "the $1 one lost its state: $(pgrep -ax Pagewell)"
    [ "$(program)" = "$1" ] || fail "the installed Pagewell is not the $1 one"
}
# The release taken: once the updater has ended, the new Pagewell is all that is left of the update.
taken() {
    waitfor 60 '! pgrep -x update >/dev/null' "the updater did not end"
    waitfor 60 '[ "$(files none)" = "Pagewell update user.ini " ] && [ "$(program)" = new ]' "the release is not kept"
}
# The release put back: the old Pagewell refreshes in its state, the release is held and not fetched again.
putback() {
    waitfor 60 '[ -f "$dir/update.hold" ]' "the release was not put back"
    from=$(($(wc -l <"$log") + 1))
    waitfor 30 '[ "$(count "updata/pagewell/auto.asp")" -ge 1 ]' "the restored Pagewell never checked again"
    sleep 5
    [ "$(cat "$dir/update.hold")" = "$held" ] || fail "held: $(cat "$dir/update.hold")"
    [ "$(count "updata/Pagewell ")" = 0 ] || fail "the held release was fetched again"
    runs old
    [ "$(files)" = "Pagewell update update.hold user.ini " ] || fail "stray files: $(files)"
}

if [ "$mode" = kill ]; then
    # A program that runs (through its watch), 4 MiB long.
    script 'exec sleep 60'; head -c $((4 << 20)) /dev/urandom >>"$work/script"
    PAGEWELL_SERVE_LIMIT_RATE=4m release "$work/script"
    # The installed program is runnable: the new file takes its permission bits.
    script 'exit 0' old
    for run in $(seq 24); do
        cp -p "$work/old" "$dir/Pagewell"; cp "$updater" "$dir/update"
        # Each run starts from an installed program, not from the last one's watch cut short (which the next run
        # settles, here by a rollback and a hold that would end every later run before its download).
        rm -f "$dir/update.hold" "$dir/Pagewell.previous"*
        "$dir/update" >/dev/null 2>&1 &
        sleep "$(awk -v r=$RANDOM 'BEGIN { print 0.5 + 7.5 * r / 32767 }')"
        { kill -KILL $! && wait $!; } 2>/dev/null || true
        left+=" $(program)"
    done
    [ "$(ls -A "$dir" | grep -c '\.part$')" -le 1 ] || fail "killed transfers piled up: $(files none)"
    echo "24 kills left the program:$left"
    [[ "$left" =~ old && "$left" =~ new && $(wc -w <<<"$left") = 24 ]] || fail "not all old or new, or not both"
elif [ "$mode" = loop ]; then
    head -c 4096 /dev/urandom >"$work/new/setup"
    for list in "update|Pagewell" "setup|Pagewell"; do
        install; release "$bin/Pagewell" --files "$list"
        start
        sleep 20
        for name in update setup Pagewell; do [ "$(count "updata/$name ")" -le 1 ] || fail "$list: $name again"; done
        [ "$(count 'updata/updata.asp?v=')" = 1 ] || fail "$list: more than one updater asked the server"
        refreshes 3 8 "$list: Pagewell does not refresh"
        [ "$(pgrep -c -x Pagewell)" = 1 ] || fail "$list: not one Pagewell running"
        [ "$list" = "update|Pagewell" ] || [ -f "$dir/update.hold" ] || fail "$list: the release was not held"
        stopall "$list"
    done
    echo "no loop"
elif [ "$mode" = sweep ]; then
    printf '| Cut at | Killed | The release | Pagewell afterwards | Program file | Left after the next settle |\n%s\n' \
        "|---|---|---|---|---|---|"
    declare -A killed=([updater]="the updater" [power]="every process (power cut)" [none]=nothing)
    for cut in stopped marked kept replaced launched watching confirmed; do cases+=("$cut updater" "$cut power"); done
    for case in "${cases[@]}" "none none crashes" "launched updater crashes"; do
        read -r cut how crash <<<"$case"
        install; release "$([ -z "$crash" ] && echo "$bin/Pagewell" || echo "$extra")"
        # The crashing release is watched for the real 30 s, which its crash falls within.
        PAGEWELL_CRASH_AT="$cut $how" PAGEWELL_WATCH_MS=$([ -n "$crash" ] && echo 30000 || echo 4000) begin
        # The cut updater is gone; a crashing release is gone too, or put back by its updater.
        waitfor 60 '! pgrep -x update >/dev/null || [ -f "$dir/update.hold" ]' "$cut/$how: the updater was not cut"
        [ -z "$crash" ] || waitfor 30 '[ -f "$dir/update.hold" ] || ! pgrep -x Pagewell >/dev/null' "$cut: no crash"
        sleep 1 && started=running
        pgrep -x Pagewell >/dev/null || { started="started at login"; "$dir/Pagewell" --start >/dev/null 2>&1 & }
        refreshes 2 30 "$cut/$how: Pagewell does not refresh"
        # The old or the new program and nothing else; or the old one, the release held, which a crash must end in.
        ok="^old Pagewell update update.hold user.ini $held$"
        [ -n "$crash" ] || ok+="|^(new|old) Pagewell update user.ini $"
        # With no updater killed, the lock of the one still alive is none of the leftovers.
        state() { echo "$(program) $(files "${how/#none/update.lock}")$(cat "$dir/update.hold" 2>/dev/null)"; }
        waitfor 10 '[[ "$(state)" =~ $ok ]]' "$cut/$how: the program is not the one expected, or more is left"
        [ "$(pgrep -c -x Pagewell)" = 1 ] || fail "$cut/$how: not one Pagewell running"
        echo "| $cut | ${killed[$how]} | ${crash:-runs} | $started | $(program) |" \
            "$(files "${how/#none/update.lock}" | sed 's/Pagewell update //; s/user.ini //; s/ *$//; s/^$/nothing/') |"
        stopall "$cut/$how"
    done
elif [ "$mode" = skew ]; then
    # 140b551's updater, in a folder of 140b551, takes today's Pagewell, and puts back one that crashes.
    for new in "$bin/Pagewell" "$extra"; do
        install "$updater/Pagewell" "$updater/update"; release "$new"
        if [ "$new" = "$extra" ]; then begin keep; putback; else begin; runs new; taken; fi
        stopall "140b551's updater, $new"
    done
    # Today's updater, in a folder of 140b551's Pagewell, takes a release that also replaces the updater.
    install "$updater/Pagewell" "$bin/update"
    { cat "$bin/update"; echo; } >"$work/new/update"
    release "$bin/Pagewell" --files "Pagewell|update"
    begin; runs new; taken
    cmp -s "$dir/update" "$work/new/update" || fail "update is not the release's"
    echo "version skew passed"
else
    [ "$mode" = cycle ] && new=$bin/Pagewell || { script 'exit 3'; new=$work/script; }
    [ -z "$extra" ] || cp "$8" "$work/new/update"
    install; release "$new" ${extra:+--sign "$extra.key" --files "Pagewell|update"}
    [ "$mode" = cycle ] || { begin keep; putback; echo "rollback passed"; exit 0; }
    begin
    waitfor 20 '! kill -0 "$first" 2>/dev/null' "the old Pagewell was not stopped"
    since=$EPOCHREALTIME
    runs new
    [ -x "$dir/Pagewell" ] || fail "the new Pagewell lost its permission bits"
    if [ -z "$extra" ]; then
        # Ended by the session within its watch, it saves what it shows; nothing is rolled back, and started again as
        # at login it is the release that runs.
        pkill -TERM -x Pagewell
        waitfor 40 '! pgrep -x "Pagewell|update" >/dev/null' "the new Pagewell or its updater did not end"
        grep -q "TEXT2=http://$rhost/page" "$dir/user.ini" && grep -q TEXT1=2 "$dir/user.ini" || fail "no state saved"
        "$dir/Pagewell" --start >/dev/null 2>&1 &
    fi
    taken
    [ -z "$extra" ] || awk -v s="$since" -v e="$EPOCHREALTIME" 'BEGIN { exit !(e - s >= 29.5) }' || fail "watch < 30 s"
    pgrep -x Pagewell >/dev/null || fail "the new Pagewell is not running"
    [ "$(grep -c 'GET /updata/updata.asp?v=Pagewell' "$log")" = 1 ] || fail "the updater ran more than once"
    [ -z "$extra" ] || cmp -s "$dir/update" "$8" || fail "the release's updater, trusting the next key too, is not in"
    # The vendor's key changes: a release signed by the next key alone is taken, one by a key nobody trusts refused.
    for k in ${extra:+2 3}; do
        stopall "key $k"; { cat "$bin/Pagewell"; echo "key $k"; } >"$work/key$k"
        release "$work/key$k" --sign "$extra$k.key"; begin
        waitfor 90 '! pgrep -x update >/dev/null' "key $k: the updater did not end"
        cmp -s "$dir/Pagewell" "$work/key2" || fail "key $k: the installed Pagewell is not the next key's release"
    done
    echo "update cycle passed${extra:+ (signed, the key changed)}"
fi
