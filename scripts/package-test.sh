#!/usr/bin/env bash
# Builds the Debian package from BUILD_DIR (default build), installs it on this
# machine with its dependencies, starts the installed program headless long
# enough to show its window, then removes the package and checks that nothing
# of it is left.
#   scripts/package-test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

(cd "$build" && cpack -G DEB)
package=$(ls "$build"/quenlari_*_*.deb)
echo "Installing $package"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "./$package"

installed=(/usr/bin/quenlari /usr/share/applications/org.marovek.Quenlari.desktop
    /usr/share/metainfo/org.marovek.Quenlari.metainfo.xml
    /usr/share/icons/hicolor/32x32/apps/org.marovek.Quenlari.png
    /usr/share/icons/hicolor/256x256/apps/org.marovek.Quenlari.png)
for file in "${installed[@]}"; do
    [ -e "$file" ] || { echo "missing after install: $file" >&2; exit 1; }
done
desktop-file-validate /usr/share/applications/org.marovek.Quenlari.desktop
[ "$(command -v "$(sed -n 's/^Exec=//p' /usr/share/applications/org.marovek.Quenlari.desktop)")" = /usr/bin/quenlari ]

# The program takes no command line and runs until it is closed: still running
# after five seconds (timeout's 124) means it started and showed its window.
status=0
QT_QPA_PLATFORM=offscreen timeout 5 /usr/bin/quenlari || status=$?
if [ "$status" -ne 124 ]; then
    echo "the installed program ended early with status $status" >&2
    exit 1
fi

# The installed command-line tool finds its sound libraries: a tone written and
# analysed back; and the module of the commands that draw, play or record.
scratch=$(mktemp -d)
/usr/bin/quenlari-cli wav --freq 440 -o "$scratch/tone.flac"
/usr/bin/quenlari-cli analyze --json "$scratch/tone.flac" | grep -Eq '"fundamental_hz":(439\.99|440)'
/usr/bin/quenlari-cli plot -o "$scratch/plot.png"
[ "$(head -c 4 "$scratch/plot.png" | tail -c 3)" = PNG ]
rm -rf "$scratch"

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y --purge quenlari
for file in "${installed[@]}"; do
    [ ! -e "$file" ] || { echo "left behind after removal: $file" >&2; exit 1; }
done
echo "The package installs, runs and is removed cleanly."
