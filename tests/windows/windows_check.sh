#!/usr/bin/env bash
# Compiles every product source as Windows code, syntax only, two at a time (see CMakeLists.txt beside this).
# Arguments: the source folder, the build folder, then the lists CMake wrote, one a target.
set -uo pipefail
root=$1 build=$2 && shift 2
cxx=$(command -v x86_64-w64-mingw32-g++-posix) ||
    { echo "skipped: no MinGW-w64 cross compiler (PAGEWELL_WITH_MINGW=1 scripts/install-deps)"; exit 77; }
failed=$(mktemp) && trap 'rm -f "$failed"' EXIT
declare -A seen
check() {
    local output
    output=$("$cxx" -fsyntax-only "$@" 2>&1) || { printf 'FAILED %s\n%s\n' "${*: -1}" "$output"; echo >>"$failed"; }
}
for list in "$@"; do
    flags=() sources=() posix=() drop=()
    while IFS= read -r line; do
        value=${line#* }
        [ -n "$value" ] && [ "$value" != "$line" ] || continue
        case ${line%% *} in
            dir) dir=$value ;;
            std) flags+=("-std=c++$value") ;;
            I) [[ " ${drop[*]} " == *" $value "* ]] || flags+=("-I$value") ;;
            D) flags+=("-D$value") ;;
            src | windows) sources+=("$value") ;;
            posix) posix+=("$value") ;;
            drop) drop+=("$value") ;;
        esac
    done <"$list"
    for source in "${sources[@]}"; do
        [[ " ${posix[*]} " != *" $source "* ]] || continue
        [[ $source == /* ]] || source=$dir/$source
        # Product sources only: not the build's generated ones (moc's among them), which the build folder holds.
        [[ $source == *.cpp && $source == "$root"/* && $source != "$build"/* && -z ${seen[$source]:-} ]] || continue
        seen[$source]=1
        while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n; done
        check "${flags[@]}" "$source" &
    done
done
wait
echo "${#seen[@]} sources checked as Windows code with $cxx, $(wc -l <"$failed") failed"
[ "${#seen[@]}" -gt 0 ] && [ ! -s "$failed" ]
