#!/usr/bin/env bash
# Quick start on Debian 12: installs what is missing with apt, builds, then
#   run   starts the program (the default)
#   test  runs every test, in a normal and in a sanitizer (ASan + UBSan) build,
#         installs, starts and removes the Debian package, then replays the
#         picture loader's fuzz corpora and fuzzes it for a minute
set -euo pipefail

mode=${1:-run}
case "$mode" in
run | test) ;;
*)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
    libsndfile1-dev libfftw3-dev libqcustomplot-dev librtaudio-dev libasound2-dev libpulse-dev libeigen3-dev
    libgtest-dev libgmock-dev libbenchmark-dev fonts-dejavu-core fonts-liberation2)
if [ "$mode" = test ]; then # the fuzzer, the desktop files' validators, the package test, a sound server
    packages+=(clang libclang-rt-14-dev desktop-file-utils appstream file pulseaudio pulseaudio-utils swh-plugins)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

jobs=$(nproc)
build() { # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$jobs"
}

if [ "$mode" = run ]; then
    build build
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found: start it from a desktop session, or with QT_QPA_PLATFORM=offscreen." >&2
    fi
    exec build/quenlari
fi

export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
fi
passed=0
skipped=0
count() { # adds up what a ctest log reports
    local total skips
    total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$1")
    skips=$(grep -c '(Skipped)$' "$1" || true)
    passed=$((passed + ${total:-0} - skips))
    skipped=$((skipped + skips))
}

build build
# A fresh machine has only what this script installs: the build must have found nothing else.
if [ -f ../shared/check-packages.sh ]; then
    bash ../shared/check-packages.sh build scripts/quickstart.sh
fi
ctest --test-dir build --output-on-failure -j "$jobs" | tee build/ctest.log
count build/ctest.log
scripts/package-test.sh build

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
build build-sanitize -DQUENLARI_SANITIZE=ON -DQUENLARI_BUILD_BENCH=OFF
# The soak is shorter there: the sanitizers make each event several times slower.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUENLARI_SOAK_EVENTS=25000 \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs" | tee build-sanitize/ctest.log
count build-sanitize/ctest.log

scripts/fuzz.sh 60
echo "$passed passed, 0 failed, $skipped skipped"
