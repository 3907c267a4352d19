#!/usr/bin/env bash
# Guards the portable package: exactly the files a user needs, with their modes (programs runnable; nothing of the
# build such as user.ini, tests or benchmarks), a version note that survives stripping, a desktop entry that
# validates, and a menu command that adds and removes exactly its own files (menu and autostart entries). The extracted folder stays in <out>
# for the end-to-end update cycle.
# Usage: package.sh <source> <build dir> <package name> <file version> <out>
set -euo pipefail
src=$1 build=$2 name=$3 version=$4 out=$5
fail() { echo "FAILED: $*"; exit 1; }
rm -rf "$out"
(cd "$build" && cpack -G TGZ -B "$out" >/dev/null)
expected="-rwxr-xr-x Pagewell -rwxr-xr-x update -rwxr-xr-x pagewell-menu -rw-r--r-- pagewell.desktop -rw-r--r-- README.txt -rw-r--r-- USER-GUIDE.md"
for size in 16 24 32 48 64 128 256; do expected+=" -rw-r--r-- icons/hicolor/${size}x$size/apps/pagewell.png"; done
listing=$(tar -tvzf "$out/$name.tar.gz" | awk '$1 !~ /^d/ { print $1, $6 }' | sed "s| $name/| |" | sort -k2)
[ "$listing" = "$(printf '%s %s\n' $expected | sort -k2)" ] || fail "package holds: $listing"
tar -xzf "$out/$name.tar.gz" -C "$out"
folder=$out/$name
"$src/deploy/make-release" "$folder" "$out/release" --local | grep -q "file version v$version," ||
    fail "the packaged Pagewell does not carry its file version $version"
desktop-file-validate "$folder/pagewell.desktop" || fail "the shipped desktop entry is not valid"
# Any argument but its own ends Pagewell before a window opens, with its usage as the last line.
status=0 && usage=$(QT_QPA_PLATFORM=offscreen "$folder/Pagewell" --bogus 2>&1 >/dev/null | tail -n 1) || status=$?
[ "$status" = 2 ] && [[ "$usage" == *bogus*--start* ]] || fail "an unknown option gave status $status: $usage"
# The README says "is unsigned" exactly when the build has no key for the updater to check signatures with.
key=$(sed -n 's/^PAGEWELL_UPDATE_PUBLIC_KEY:STRING=//p' "$build/CMakeCache.txt")
[ "$(grep -c "is unsigned" "$folder/README.txt")" = "$([ -z "$key" ] && echo 1 || echo 0)" ] ||
    fail "the README's word on signatures does not match the build's key '$key'"

export HOME=$out/home && unset XDG_DATA_HOME XDG_CONFIG_HOME
mkdir -p "$HOME/.local/share/applications"
touch "$HOME/.local/share/applications/other.desktop"
"$folder/pagewell-menu" >/dev/null
entry=$HOME/.local/share/applications/pagewell.desktop
desktop-file-validate "$entry" && grep -qx "Exec=\"$folder/Pagewell\"" "$entry" || fail "menu entry: $(cat "$entry")"
[ "$(find "$HOME" -type f | wc -l)" = 9 ] || fail "the menu command wrote: $(find "$HOME" -type f)"
start=$HOME/.config/autostart/pagewell.desktop
for mode in " --fullscreen" ""; do
    "$folder/pagewell-menu" --autostart $mode >/dev/null
    desktop-file-validate "$start" && grep -qx "Exec=\"$folder/Pagewell\" --start$mode" "$start" || fail "entry$mode"
done
"$folder/pagewell-menu" --remove >/dev/null
[ "$(find "$HOME" -type f)" = "$HOME/.local/share/applications/other.desktop" ] ||
    fail "after --remove: $(find "$HOME" -type f)"
echo "package passed"
