#!/usr/bin/env bash
# The Windows target: cross-builds veltrane.dll and its test programs for i686
# and x86_64 with mingw-w64, checks each image (exactly the three plain export
# names, a shared .shared section, only system DLLs imported), puts what a
# Windows user needs into build-win-package/, and runs the test programs under
# Wine in a fresh 64-bit prefix that is removed at the end: the driver's tests,
# the veltrane command's smoke test, and the installer's tests (`veltrane
# install` and the rest, for each architecture of the command); then the
# installer's tests once more in a 32-bit prefix, as on 32-bit Windows.
#
# Exits non-zero on any failure. Under CI=true nothing is skipped; otherwise
# the Wine part is skipped, saying so, when wine is not installed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VT_JOBS:-2}
failures=0
wine_tests=0
wine_runs=0
cmd_checks=0
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
        kernel32.dll | user32.dll | winmm.dll | msvcrt.dll | advapi32.dll | ntdll.dll | version.dll) return 0 ;;
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
    [ -f "$2/windows/veltrane.exe" ] || { fail "$arch: veltrane.exe not built"; bad=1; }
    local exe
    for exe in "$2"/windows/vt_*.exe "$2"/windows/veltrane.exe; do
        [ -f "$exe" ] && { check_imports "$objdump" "$exe" || bad=1; }
    done
    [ $bad -eq 0 ] && summary+=("$arch: image checks passed (exports, .shared, imports of DLL and programs)")
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
    run_wine "$arch-smoke-absent" "$dir/vt_smoke.exe" \
        --gtest_filter='-InterfacesOnNodes2And5.*'
    link_nodes 2 5
    run_wine "$arch-smoke-present" "$dir/vt_smoke.exe" --gtest_filter='InterfacesOnNodes2And5.*'
    unlink_nodes
    if [ -f "$dir/vt_wintests.exe" ]; then
        run_wine "$arch-driver" "$dir/vt_wintests.exe"
    else
        fail "$arch: vt_wintests.exe not built"
    fi
}

# ---- the veltrane command under Wine

# Runs veltrane.exe; its stdout goes to $tmp/out, its stderr (less the ALSA
# library's chatter from Wine's own sound driver) to $tmp/err. Fails unless
# the exit status is the one expected.
run_cmd() {  # label expected-rc exe args...
    local label=$1 want=$2 exe=$3
    shift 3
    (cd "$(dirname "$exe")" && timeout 120 wine "$(basename "$exe")" "$@") \
        >"$tmp/out" 2>"$tmp/err.raw"
    local rc=$?
    grep -v '^ALSA lib ' "$tmp/err.raw" | tr -d '\r' >"$tmp/err"
    tr -d '\r' <"$tmp/out" >"$tmp/out.txt" && mv "$tmp/out.txt" "$tmp/out"
    if [ $rc -ne "$want" ]; then
        fail "$label: veltrane $* exited $rc, expected $want"
        sed 's/^/    /' "$tmp/out" "$tmp/err" | head -20 >&2
        return 1
    fi
    cmd_checks=$((cmd_checks + 1))
}

expect_out() {  # label file pattern: the file has a line matching pattern
    grep -qE "$3" "$2" && return 0
    fail "$1: no line matching '$3' in $(basename "$2")"
    sed 's/^/    /' "$2" | head -20 >&2
    return 1
}

# No driver of ours registered: the command works and shows none of our ports.
command_smoke() {  # arch exe
    local arch=$1 exe=$2 sub
    echo "== wine $arch veltrane.exe (no driver registered)"
    if run_cmd "$arch --help" 0 "$exe" --help; then
        for sub in list send play monitor record receive loop install uninstall repair status; do
            expect_out "$arch --help" "$tmp/out" "^  $sub "
        done
        grep -qE '^  (sim|demo|ctl) ' "$tmp/out" && fail "$arch --help offers a Linux-only command"
    fi
    if run_cmd "$arch --version" 0 "$exe" --version; then
        expect_out "$arch --version" "$tmp/out" '^veltrane 4\.1\.13 \(Veltrane MIDI driver 4\.1\.13\)$'
        expect_out "$arch --version" "$tmp/out" "^build .+, Windows $arch\$"
    fi
    # sim, demo and ctl are Linux-only: unknown here, a usage error.
    for sub in sim ctl; do
        run_cmd "$arch $sub" 2 "$exe" $sub && expect_out "$arch $sub" "$tmp/err" "unknown command '$sub'"
    done
    for sub in send play record receive; do
        run_cmd "$arch $sub --help" 0 "$exe" $sub --help &&
            expect_out "$arch $sub --help" "$tmp/out" "^usage: veltrane $sub"
    done
    if run_cmd "$arch list" 0 "$exe" list; then
        expect_out "$arch list" "$tmp/out" '^Dir ID  Node Port     Name$'
        grep -q 'Veltrane$' "$tmp/out" && fail "$arch list: Veltrane ports without the driver registered"
    fi
    local outs
    outs=$(grep -c '^OUT ' "$tmp/out")
    run_cmd "$arch list --json" 0 "$exe" list --json &&
        expect_out "$arch list --json" "$tmp/out" '^\{"outputs":\[.*\],"inputs":\[.*\]\}$'
    run_cmd "$arch send (no port)" 1 "$exe" send -p "$outs" 90 3C 40 &&
        expect_out "$arch send (no port)" "$tmp/err" "no port with ID $outs"
    run_cmd "$arch send (no node)" 1 "$exe" send -p 0:out-a 90 3C 40 &&
        expect_out "$arch send (no node)" "$tmp/err" "no interface on device node 0"
    # What the command reads is checked before any port is opened.
    printf 'RIFF\0\0\0\4RMID' >"$tmp/not.mid"
    printf 'MThd\0\0\0\6\0\0\0\1\1\340MTrk\0\0\0\20\0\220' >"$tmp/cut.mid"
    run_cmd "$arch play (not MIDI)" 1 "$exe" play -p 0 "$tmp/not.mid" &&
        expect_out "$arch play (not MIDI)" "$tmp/err" 'not a Standard MIDI File: it does not start with "MThd"'
    run_cmd "$arch play (cut short)" 1 "$exe" play -p 0 "$tmp/cut.mid" &&
        expect_out "$arch play (cut short)" "$tmp/err" 'track 1 at byte 14 says 16 bytes, the file has 2 after its header \(cut short\?\)'
    run_cmd "$arch play (missing)" 1 "$exe" play -p 0 "$tmp/none.mid" &&
        expect_out "$arch play (missing)" "$tmp/err" "^veltrane play: cannot read $tmp/none.mid: "
    run_cmd "$arch send (folder)" 1 "$exe" send -p 0 -s "$tmp" &&
        expect_out "$arch send (folder)" "$tmp/err" "^veltrane send: cannot read $tmp: it is a directory$"
    run_cmd "$arch send (MIDI file)" 1 "$exe" send -p 0 -s "$tmp/cut.mid" &&
        expect_out "$arch send (MIDI file)" "$tmp/err" 'is a Standard MIDI File: play it with `veltrane play'
    run_cmd "$arch send (script)" 2 "$exe" send -p 0 on C4 &&
        expect_out "$arch send (script)" "$tmp/err" "'on' needs a note and a velocity"
    run_cmd "$arch monitor (type)" 2 "$exe" monitor -p 0 --type drums &&
        expect_out "$arch monitor (type)" "$tmp/err" "unknown message type 'drums'"
}

# ---- the package and the installer

# What a Windows user takes: both commands, both DLLs under the names the
# command and the INF look for beside them, the INF and the guide.
make_package() {  # dir
    local dir=$1
    rm -rf "$dir" && mkdir -p "$dir" &&
        cp "${dirs[x86_64]}/windows/veltrane.exe" "$dir/veltrane.exe" &&
        cp "${dirs[i686]}/windows/veltrane.exe" "$dir/veltrane32.exe" &&
        cp "${dirs[x86_64]}/windows/veltrane.dll" "$dir/veltrane64.dll" &&
        cp "${dirs[i686]}/windows/veltrane.dll" "$dir/veltrane32.dll" &&
        cp "${dirs[x86_64]}/windows/veltrane.inf" "$root/windows/README.md" "$dir/"
}

# A package for the installer's tests of one architecture: its veltrane.exe
# and vt_install.exe beside both DLLs. No veltrane.dll is in it, so a bare
# "veltrane.dll" that a program here loads comes from the system folder.
test_package() {  # arch -> prints the folder
    local arch=$1 dir=$tmp/pkg-$1
    mkdir -p "$dir" &&
        cp "${dirs[$arch]}/windows/veltrane.exe" "${dirs[$arch]}/windows/vt_install.exe" "$dir/" &&
        cp "$package/veltrane32.dll" "$package/veltrane64.dll" "$dir/" &&
        echo "$dir"
}

# vt_install against the package of that architecture (nodes 2 and 5 linked).
install_tests_of() {  # label arch
    local dir
    dir=$(test_package "$2") || { fail "$1: making its package"; return; }
    run_wine "$1" "$dir/vt_install.exe" "Z:${dir//\//\\}"
}

# The driver installed as a user installs it: the package's veltrane.exe
# install, then `list` and `status` of both architectures, then uninstall.
installed_commands() {
    local arch exe
    echo "== wine veltrane.exe install (package, nodes 2 and 5 linked)"
    run_cmd "install" 0 "$package/veltrane.exe" install && sed 's/^/    /' "$tmp/out"
    for arch in x86_64 i686; do
        exe=$package/veltrane.exe
        [ "$arch" = i686 ] && exe=$package/veltrane32.exe
        if run_cmd "$arch status (installed)" 0 "$exe" status; then
            sed 's/^/    /' "$tmp/out"
            expect_out "$arch status" "$tmp/out" '^Status: +all in place$'
        fi
        installed_list "$arch" "$exe"
    done
    run_cmd "uninstall" 0 "$package/veltrane.exe" uninstall && sed 's/^/    /' "$tmp/out"
}

# `veltrane list` with the driver installed.
installed_list() {  # arch exe
    local arch=$1 exe=$2
    run_cmd "$arch list (installed)" 0 "$exe" list || return
    local ours expected
    ours=$(grep -E '^(OUT|IN ) [0-9]+ +[^ ].* Veltrane$' "$tmp/out" | sed -E 's/^(OUT|IN ) *[0-9]+ +//')
    expected=$(printf '%s\n' "Out-A2 Veltrane" "Out-B2 Veltrane" "Out-A1 Veltrane" \
        "Out-B1 Veltrane" "In-A2 Veltrane" "In-B2 Veltrane" "In-A1 Veltrane" "In-B1 Veltrane")
    if [ -z "$ours" ]; then
        # Wine's winmm takes its low-level drivers from its own audio stack,
        # never from Drivers32: the driver is installed but not enumerated.
        summary+=("$arch: installed; Wine's winmm does not enumerate Drivers32 MIDI drivers, so 'veltrane list' shows none of our ports")
        return
    fi
    if [ "$ours" != "$expected" ]; then
        fail "$arch list (installed): our ports are"$'\n'"$ours"$'\n'"expected"$'\n'"$expected"
        return
    fi
    local id
    id=$(sed -nE 's/^OUT ([0-9]+) +Out-A2 Veltrane$/\1/p' "$tmp/out")
    run_cmd "$arch send (installed)" 1 "$exe" send -p "$id" 90 3C 40 &&
        expect_out "$arch send (installed)" "$tmp/err" 'midiOutOpen: .* \(1\)$'
    summary+=("$arch: installed; veltrane list shows our 4 outputs and 4 inputs, send fails with 1")
}

# The installer's tests as on 32-bit Windows: one registry view, one system
# folder. Nothing runs in the 64-bit prefix after this.
prefix32_tests() {
    local prefix64=$WINEPREFIX
    wineserver -k >/dev/null 2>&1
    export WINEPREFIX=$tmp/prefix32
    echo "== wine prefix $WINEPREFIX (32-bit)"
    if WINEARCH=win32 wineboot -i >/dev/null 2>&1 && wineserver -w; then
        link_nodes 2 5
        install_tests_of "i686-install-32-bit-windows" i686
        unlink_nodes
    else
        fail "wine: the 32-bit prefix could not be made"
    fi
    wineserver -k >/dev/null 2>&1
    export WINEPREFIX=$prefix64
}

cleanup() {
    local prefix
    for prefix in "${tmp:-}/prefix" "${tmp:-}/prefix32"; do
        if [ -n "${tmp:-}" ] && [ -d "$prefix" ]; then
            WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
        fi
    done
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
package=
if [ ${#built[@]} -eq 2 ]; then
    if make_package "$root/build-win-package"; then
        package=$root/build-win-package
        summary+=("package: build-win-package/ ($(cd "$package" && ls | tr '\n' ' '))")
    else
        fail "making build-win-package"
    fi
else
    fail "the package and the installer's tests need both architectures built"
fi

if command -v wine >/dev/null && command -v wineserver >/dev/null; then
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/veltrane-wine.XXXXXX")
    trap cleanup EXIT
    export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    echo "== wine prefix $WINEPREFIX"
    if wineboot -i >/dev/null 2>&1 && wineserver -w; then
        for arch in "${built[@]}"; do
            wine_tests_of "$arch" "${dirs[$arch]}"
            command_smoke "$arch" "${dirs[$arch]}/windows/veltrane.exe"
        done
        if [ -n "$package" ]; then
            link_nodes 2 5
            for arch in x86_64 i686; do
                install_tests_of "$arch-install" "$arch"
            done
            installed_commands
            unlink_nodes
            prefix32_tests
        fi
        summary+=("wine: $wine_tests tests ran in $wine_runs runs; veltrane.exe: $cmd_checks commands as expected")
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
