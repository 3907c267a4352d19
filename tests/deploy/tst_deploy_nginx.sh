#!/usr/bin/env bash
# Starts the reference update server on a free loopback port with a generated release and checks every path's
# reply byte for byte. Exits 77 (skipped) when nginx is not installed.
set -uo pipefail

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
command -v nginx >/dev/null || { echo "SKIP: nginx is not installed"; exit 77; }
command -v curl >/dev/null || { echo "FAIL: curl is needed"; exit 1; }

work=$(mktemp -d)
runtime="$work/run"
cleanup() {
    "$root/deploy/serve" stop "$runtime" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A program folder: two program files (one of them large enough to take several writes) and a user's settings
# file, which must stay out of the release.
program="$work/bin"
mkdir -p "$program"
head -c 3000000 /dev/urandom >"$program/Pagewell"
head -c 2500 /dev/urandom >"$program/update"
printf '[x]\r\nTEXT1=5\r\n' >"$program/user.ini"

# Defaults: no build cache beside this folder, so the built-in defaults apply.
"$root/deploy/make-release" "$program" "$work/release" >/dev/null || fail "make-release with defaults"
[ "$(cat "$work/release/texts/refresher-version.txt")" = v1.6 ] || fail "default tag"
cmp -s <(printf 'v1.6.0.0') "$work/release/texts/updater-version.txt" || fail "default file version"
cmp -s <(printf 'Pagewell') "$work/release/texts/file-list.txt" || fail "default file list"

# Not a release folder: left alone.
mkdir -p "$work/other" && touch "$work/other/keep"
if "$root/deploy/make-release" "$program" "$work/other" >/dev/null 2>&1 || [ ! -f "$work/other/keep" ]; then
    fail "make-release must not take over a folder it did not make"
fi

# The release under test, remade in place.
"$root/deploy/make-release" "$program" "$work/release" --tag v1.7 --file-version 1.7.0.0 --files 'Pagewell|update' \
    >/dev/null || fail "make-release with options"

port=""
for _ in $(seq 20); do
    candidate=$((20000 + RANDOM % 40000))
    if "$root/deploy/serve" start "$work/release" "$candidate" "$runtime" 2>/dev/null; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || { echo "FAIL: nginx did not start on any port tried"; cat "$runtime/error.log"; exit 1; }
base="http://127.0.0.1:$port"

# check <path-and-query> <status> <expected-body-file> [<content-type>]
check() {
    local target=$1 status=$2 expected=$3 type=${4:-} got headers
    got="$work/got"
    headers="$work/headers"
    local code
    code=$(curl -s --noproxy '*' --max-time 10 -D "$headers" -o "$got" -w '%{http_code}' "$base$target")
    [ "$code" = "$status" ] || { fail "$target: status $code, expected $status"; return; }
    [ "$status" = 200 ] || return
    cmp -s "$got" "$expected" || fail "$target: body differs from $expected"
    local length
    length=$(tr -d '\r' <"$headers" | sed -n 's/^[Cc]ontent-[Ll]ength: //p')
    [ "$length" = "$(stat -c %s "$expected")" ] || fail "$target: Content-Length '$length'"
    if [ -n "$type" ]; then
        grep -qiF "Content-Type: $type"$'\r' "$headers" || fail "$target: Content-Type is not $type"
    fi
}

printf 'v1.7' >"$work/tag"
printf 'v1.7.0.0' >"$work/file-version"
printf 'Pagewell|update' >"$work/list"

check "/updata/pagewell/auto.asp?u=up&x=0.7055475" 200 "$work/tag" "text/plain; charset=utf-8"
check "/updata/pagewell/auto.asp?u=up&x=1.401764E-02" 200 "$work/tag"
check "/updata/pagewell/auto.asp" 200 "$work/tag"
check "/updata/updata.asp?v=Pagewell" 200 "$work/file-version" "text/plain; charset=utf-8"
check "/updata/updata.asp?e=Pagewellver&x=0.5333446" 200 "$work/list" "text/plain; charset=utf-8"
check "/updata/Pagewell" 200 "$program/Pagewell" "application/octet-stream"
check "/updata/update" 200 "$program/update"
check "/updata/pagewell/wellhome.asp" 200 "$root/deploy/wellhome.html" "text/html; charset=utf-8"
check "/updata/updata.asp" 404 /dev/null
check "/updata/updata.asp?v=Other" 404 /dev/null
check "/updata/user.ini" 404 /dev/null
check "/updata/missing.exe" 404 /dev/null
check "/release-texts/file-list.txt" 404 /dev/null
check "/" 404 /dev/null

# Starting again in the same runtime folder replaces the running server instead of failing on the port.
"$root/deploy/serve" start "$work/release" "$port" "$runtime" 2>/dev/null || fail "restart on the same port"
check "/updata/updata.asp?v=Pagewell" 200 "$work/file-version"

pid=$(cat "$runtime/nginx.pid")
"$root/deploy/serve" stop "$runtime" || fail "serve stop"
kill -0 "$pid" 2>/dev/null && fail "nginx still runs after stop"
if curl -s --noproxy '*' --max-time 5 -o /dev/null "$base/updata/pagewell/auto.asp"; then
    fail "the port still answers after stop"
fi
"$root/deploy/serve" stop "$runtime" || fail "a second stop must succeed quietly"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "PASS: reference update server on port $port"
