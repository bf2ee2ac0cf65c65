# Installs the Debian packages given as arguments when they are missing;
# quiet, and a no-op when everything is there. Sourced by the other scripts.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
        "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake ninja-build g++ make)
# clang with libFuzzer and the sanitizers' runtimes, and the symbolizer for
# their reports: the sanitizer build, the fuzz targets.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine wine64 wine32:i386 "${FUZZ_PACKAGES[@]}")
