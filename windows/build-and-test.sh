#!/usr/bin/env bash
# The Windows target: cross-builds veltrane.dll and its test programs for i686
# and x86_64 with mingw-w64, checks each image (exactly the three plain export
# names, a shared .shared section, only system DLLs imported), and runs the
# test programs under Wine in a fresh prefix that is removed at the end.
#
# Exits non-zero on any failure. Under CI=true nothing is skipped; otherwise
# the Wine part is skipped, saying so, when wine is not installed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VT_JOBS:-2}
failures=0
wine_tests=0
wine_runs=0
declare -a summary=()

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# ---- build

build() {  # arch dir
    local arch=$1 dir=$2
    echo "== build $arch in $dir"
    cmake -S "$root" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    ninja -C "$dir" -j"$jobs" || return 1
}

# ---- image checks

# System DLLs a program may import; anything else (libstdc++, libgcc,
# libwinpthread) would have to be shipped beside it.
system_dll() {
    case "${1,,}" in
        kernel32.dll | user32.dll | winmm.dll | msvcrt.dll | advapi32.dll | ntdll.dll) return 0 ;;
        *) return 1 ;;
    esac
}

check_imports() {  # objdump file
    local objdump=$1 file=$2 dll ok=0
    while read -r dll; do
        if ! system_dll "$dll"; then
            fail "$(basename "$file") imports $dll, which is not a system DLL"
            ok=1
        fi
    done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
    return $ok
}

check_dll() {  # arch dir
    local arch=$1 dll=$2/windows/veltrane.dll
    local objdump=$arch-w64-mingw32-objdump
    local bad=0
    [ -f "$dll" ] || { fail "$arch: $dll not built"; return; }

    local exports
    exports=$("$objdump" -p "$dll" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    if [ "$exports" != "DriverProc midMessage modMessage " ]; then
        fail "$arch: exports are '$exports', expected exactly DriverProc midMessage modMessage"
        bad=1
    fi

    if ! "$objdump" -h "$dll" | grep -A1 -E '^\s*[0-9]+ \.shared ' | grep -q SHARED; then
        fail "$arch: no .shared section marked SHARED"
        bad=1
    fi

    check_imports "$objdump" "$dll" || bad=1
    local exe
    for exe in "$2"/windows/vt_*.exe; do
        check_imports "$objdump" "$exe" || bad=1
    done
    [ $bad -eq 0 ] && summary+=("$arch: image checks passed (exports, .shared, imports)")
}

# ---- Wine

# Runs one test program under Wine; counts its tests from GoogleTest's tally.
run_wine() {  # label exe [args...]
    local label=$1 exe=$2
    shift 2
    local log=$tmp/$label.log
    echo "== wine $label"
    (cd "$(dirname "$exe")" && timeout 600 wine "$(basename "$exe")" "$@") >"$log" 2>&1
    local rc=$?
    local ran
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)
    sed -n '/^\[  FAILED  \]\|Failure$\|^\[==========\]\|^\[  PASSED  \]\|^\[  SKIPPED \]/p' "$log"
    wine_runs=$((wine_runs + 1))
    if [ -z "$ran" ]; then
        tail -20 "$log" >&2
        fail "$label: no test ran (exit $rc)"
        return
    fi
    wine_tests=$((wine_tests + ran))
    if [ $rc -ne 0 ]; then
        grep -B2 -A12 'Failure$' "$log" | head -80 >&2
        fail "$label: exit $rc"
    elif grep -q '^\[  SKIPPED \]' "$log" && [ "${CI:-}" = true ]; then
        fail "$label: tests skipped under CI"
    fi
}

link_nodes() {  # nodes...: device files that open but are not the interface
    local node
    for node in "$@"; do
        : >"$tmp/node-$node"
        ln -sf "$tmp/node-$node" "$WINEPREFIX/dosdevices/veltrane-$node"
    done
}

unlink_nodes() {
    rm -f "$WINEPREFIX"/dosdevices/veltrane-*
}

wine_tests_of() {  # arch dir
    local arch=$1 dir=$2/windows
    [ -f "$dir/vt_smoke.exe" ] || { fail "$arch: vt_smoke.exe not built"; return; }
    unlink_nodes
    run_wine "$arch-smoke-absent" "$dir/vt_smoke.exe" --gtest_filter='-InterfacesOnNodes2And5.*'
    link_nodes 2 5
    run_wine "$arch-smoke-present" "$dir/vt_smoke.exe" --gtest_filter='InterfacesOnNodes2And5.*'
    unlink_nodes
    if [ -f "$dir/vt_wintests.exe" ]; then
        run_wine "$arch-driver" "$dir/vt_wintests.exe"
    else
        fail "$arch: vt_wintests.exe not built"
    fi
}

cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    [ -n "${tmp:-}" ] && rm -rf "$tmp"
}

# ---- main

for tool in cmake ninja i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done

declare -A dirs=([i686]="$root/build-win32" [x86_64]="$root/build-win64")
built=()
for arch in i686 x86_64; do
    if build "$arch" "${dirs[$arch]}"; then
        built+=("$arch")
        check_dll "$arch" "${dirs[$arch]}"
    else
        fail "$arch: build failed (its Wine tests are not run)"
    fi
done

if command -v wine >/dev/null && command -v wineserver >/dev/null; then
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/veltrane-wine.XXXXXX")
    trap cleanup EXIT
    export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    echo "== wine prefix $WINEPREFIX"
    if wineboot -i >/dev/null 2>&1 && wineserver -w; then
        for arch in "${built[@]}"; do
            wine_tests_of "$arch" "${dirs[$arch]}"
        done
        summary+=("wine: $wine_tests tests ran in $wine_runs runs")
    else
        fail "wine: the prefix could not be made"
    fi
elif [ "${CI:-}" = true ]; then
    fail "wine is not installed (required under CI)"
else
    summary+=("wine: not installed, Wine tests SKIPPED")
fi

echo "== summary"
printf '%s\n' "${summary[@]}"
if [ $failures -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all passed"
