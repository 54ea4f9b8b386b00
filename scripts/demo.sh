#!/usr/bin/env bash
# The demo of `make run`: lays out a small sample home and system root in the
# build folder, then scans and cleans them with the klarvik front end. It never
# touches the real home folder: HOME and KLARVIK_SYSROOT point at the sample.
set -euo pipefail
build=${1:-build}
klarvik="$build/bin/klarvik"
sample="$(cd "$build" && pwd)/demo"

rm -rf "$sample"
home="$sample/home"
sysroot="$sample/sysroot"
mkdir -p "$home" "$sysroot"
export HOME="$home" KLARVIK_SYSROOT="$sysroot"
# The login items live below the sample home (and the system's below the
# sample system root) too.
unset XDG_CONFIG_HOME XDG_CONFIG_DIRS

# Caches with nested folders, the application's own folder (excluded), logs, a
# trash, and a link that points outside the sample's caches.
mkdir -p "$home/Library/Caches/com.example.browser/Cache/data" \
         "$home/Library/Caches/com.example.editor" \
         "$home/Library/Caches/Varnex/Klarvik" \
         "$home/Library/Logs/Editor" "$home/.Trash/Old project" "$sample/elsewhere"
head -c 300000 /dev/zero > "$home/Library/Caches/com.example.browser/Cache/data/blob-1"
head -c 120000 /dev/zero > "$home/Library/Caches/com.example.browser/Cache/data/blob-2"
head -c 4096 /dev/zero > "$home/Library/Caches/com.example.editor/index"
echo "our own state" > "$home/Library/Caches/Varnex/Klarvik/state"
echo "not ours" > "$sample/elsewhere/important.txt"
ln -s "$sample/elsewhere" "$home/Library/Caches/link-to-elsewhere"
printf 'log line\n%.0s' {1..2000} > "$home/Library/Logs/Editor/editor.log"
head -c 50000 /dev/zero > "$home/.Trash/Old project/draft.txt"
printf 'caf\xc3\xa9\n' > "$home/.Trash/caf"$'\xc3\xa9'".txt"

step() { printf '\n== %s\n' "$*"; }

step "klarvik --version"
"$klarvik" --version

for kind in caches logs trash; do
    case $kind in
        caches) root="$home/Library/Caches" ;;
        logs) root="$home/Library/Logs" ;;
        trash) root="$home/.Trash" ;;
    esac
    step "klarvik scan --kind $kind $root"
    "$klarvik" scan --kind "$kind" "$root"
    step "klarvik clean --kind $kind --yes $root"
    "$klarvik" clean --kind "$kind" --yes "$root" | sed -n '/^removed\|^failed\|^Removed\|^After/,$p'
done

# The system_profiler stand-in is built beside klarvik; a real one found first wins.
step "klarvik sysinfo"
PATH="$PATH:$(cd "$build/bin" && pwd)" "$klarvik" sysinfo

# Installed applications below the sample system root: standard ones (Safari and
# Calculator are protected, never listed), other vendors' ones, one in Utilities (in
# neither list), one shared below /Users, one in the home folder, and a link to
# a bundle (listed once, by its own path). A stand-in mdls knows one last use.
bundle() {
    mkdir -p "$1/Contents"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>CFBundleName</key><string>%s</string><key>CFBundleIdentifier</key><string>%s</string></dict></plist>\n' \
        "$2" "$3" > "$1/Contents/Info.plist"
}
bundle "$sysroot/Applications/Safari.app" Safari com.apple.Safari
bundle "$sysroot/Applications/Calculator.app" Calculator com.apple.calculator
bundle "$sysroot/Applications/iTunes.app" iTunes com.apple.iTunes
bundle "$sysroot/Applications/iBooks.app" iBooks com.apple.iBooksX
bundle "$sysroot/Applications/Sketchbook.app" Sketchbook com.example.sketchbook
bundle "$sysroot/Applications/Utilities/Disk Doctor.app" "Disk Doctor" com.example.diskdoctor
bundle "$sysroot/Users/Shared/Games/Tetra.app" Tetra com.example.tetra
bundle "$home/Applications/Notebook.app" Notebook com.example.notebook
ln -s "$sysroot/Applications/Sketchbook.app" "$sysroot/Applications/Sketchbook link.app"
mkdir -p "$sample/bin"
cat > "$sample/bin/mdls" <<'MDLS'
#!/bin/sh
case "$3" in
    */Sketchbook.app) echo "kMDItemLastUsedDate = 2024-03-01 09:30:00 +0000" ;;
    *) echo "kMDItemLastUsedDate = (null)" ;;
esac
MDLS
chmod +x "$sample/bin/mdls"

step "klarvik apps"
PATH="$sample/bin:$PATH" "$klarvik" apps

# An application with its data in the library: listed with its groups,
# nothing selected. The scan records it; once its bundle is gone (dragged
# away by hand), its data are leftovers, and clean removes the one named.
bundle "$sysroot/Applications/Painter.app" Painter com.example.painter
head -c 30000 /dev/urandom > "$sysroot/Applications/Painter.app/Contents/Painter"
mkdir -p "$home/Library/Caches/com.example.painter" "$home/Library/Preferences" \
         "$home/Library/Saved Application State/com.example.painter.savedState" \
         "$home/Library/Logs/DiagnosticReports"
head -c 40000 /dev/urandom > "$home/Library/Caches/com.example.painter/brushes.db"
echo '<plist version="1.0"><dict/></plist>' > "$home/Library/Preferences/com.example.painter.plist"
echo 'window' > "$home/Library/Saved Application State/com.example.painter.savedState/windows.plist"
echo '{"app_name":"Painter"}' > "$home/Library/Logs/DiagnosticReports/Painter-2024-03-01-101500.ips"
step "klarvik scan --kind third-party-apps"
PATH="$sample/bin:$PATH" "$klarvik" scan --kind third-party-apps
rm -rf "$sysroot/Applications/Painter.app"
step "klarvik scan --kind leftovers (Painter.app was removed by hand)"
PATH="$sample/bin:$PATH" "$klarvik" scan --kind leftovers
step "klarvik clean --kind leftovers --yes --select $home/Library/Caches/com.example.painter"
PATH="$sample/bin:$PATH" "$klarvik" clean --kind leftovers --yes \
    --select "$home/Library/Caches/com.example.painter"

# Big files in the home: a film, a disk image, an application package counted
# as one, and small files that are never listed. Nothing is selected: clean
# removes the one named.
mkdir -p "$home/Movies" "$home/Downloads" "$home/Applications/Studio.app/Contents/Resources"
truncate -s 25000000 "$home/Movies/holiday.mov"
truncate -s 12000000 "$home/Downloads/installer.dmg"
truncate -s 9000000 "$home/Applications/Studio.app/Contents/Resources/a.pak"
truncate -s 6000000 "$home/Applications/Studio.app/Contents/Resources/b.pak"
step "klarvik scan --kind large-old $home"
"$klarvik" scan --kind large-old "$home"
step "klarvik clean --kind large-old --yes --select $home/Downloads/installer.dmg $home"
"$klarvik" clean --kind large-old --yes --select "$home/Downloads/installer.dmg" "$home" |
    sed -n '/^removed\|^not removed\|^Removed/p'
# Launch agents and daemons with the launchctl stand-in (its loaded jobs in
# a state file of the sample), and a login item from an autostart entry.
job() {
    mkdir -p "$(dirname "$1")"
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>Label</key><string>%s</string></dict></plist>\n' \
        "$2" > "$1"
}
job "$home/Library/LaunchAgents/com.example.updater.plist" com.example.updater
job "$home/Library/LaunchAgents/example.updater.plist" example.updater
job "$sysroot/Library/LaunchDaemons/com.example.helper.plist" com.example.helper
printf 'com.example.updater\ncom.example.helper\n' > "$sample/launchctl-state"
ln -sf "$(cd "$(dirname "$0")" && pwd)/fake-tools/launchctl" "$sample/bin/launchctl"
export FAKE_LAUNCHCTL_STATE="$sample/launchctl-state"
agent="$home/Library/LaunchAgents/com.example.updater.plist"

step "klarvik scan --kind launch-agents"
PATH="$sample/bin:$PATH" "$klarvik" scan --kind launch-agents
step "klarvik clean --kind launch-agents --yes --select $agent"
PATH="$sample/bin:$PATH" "$klarvik" clean --kind launch-agents --yes --select "$agent"

mkdir -p "$home/.config/autostart"
printf '[Desktop Entry]\nType=Application\nName=Notebook\nExec="%s" --hidden\n' \
    "$home/Applications/Notebook.app" > "$home/.config/autostart/notebook.desktop"
step "klarvik scan --kind login-items --disable $home/Applications/Notebook.app"
"$klarvik" scan --kind login-items --disable "$home/Applications/Notebook.app"
step "klarvik scan --kind login-items (remembered, switched off)"
"$klarvik" scan --kind login-items

# A virus scan with the sample engine (this machine's ClamAV and a test
# signature, never a real virus): one infected file among innocent ones, one
# of them named so that a careless reading of the scanner's output would take
# its neighbour for infected.
if "$(dirname "$0")/clamav-sample.sh" "$sysroot" 2>/dev/null; then
    mkdir -p "$home/Downloads"
    printf 'x KLARVIK-TEST-MARKER-5d41402abc4b2a76 x' > "$home/Downloads/setup.exe"
    echo "my report" > "$home/Downloads/report.pdf"
    echo "my notes" > "$home/Downloads/report.pdf: Evil FOUND"
    step "klarvik antivirus status"
    "$klarvik" antivirus status || true
    step "klarvik scan --kind antivirus $home/Downloads"
    "$klarvik" scan --kind antivirus "$home/Downloads"
    step "klarvik clean --kind antivirus --yes $home/Downloads"
    "$klarvik" clean --kind antivirus --yes "$home/Downloads"
else
    step "no clamscan on this machine: the virus scan is left out"
fi

# A photo library with 400 of its 600 images in its trash, and an album and a
# folder of albums. The photo application is played by the `osascript`
# stand-in: asked to empty its trash, it moves the images it lets go to
# ~/.Trash/iPhoto, from where the cleaning removes exactly those files. Then
# the library's database, which has room to spare now, is compacted (never
# while the photo application runs: a `ps` stand-in tells it does not).
library="$home/Pictures/iPhoto Library"
if command -v python3 >/dev/null; then
    python3 "$(dirname "$0")/photo-library-sample.py" "$library" --images 600 --trashed 400 \
        --preferences "$home"
    ln -sf "$(cd "$(dirname "$0")" && pwd)/fake-tools/osascript" "$sample/bin/osascript"
    printf '#!/bin/sh\necho /sbin/init\n' > "$sample/bin/ps"
    chmod +x "$sample/bin/ps"
    step "klarvik scan --kind photo-trash"
    PATH="$sample/bin:$PATH" "$klarvik" scan --kind photo-trash | tail -n 6
    step "klarvik clean --kind photo-trash --yes"
    PATH="$sample/bin:$PATH" "$klarvik" clean --kind photo-trash --yes | tail -n 1
    step "klarvik clean --kind photo-vacuum --yes"
    PATH="$sample/bin:$PATH" "$klarvik" clean --kind photo-vacuum --yes
    rm "$sample/bin/ps" "$sample/bin/osascript"
else
    step "no python3 on this machine: the photo library is left out"
fi

# The whole product on one Cleaner: fresh caches and logs, a localization of
# an application, two copies of a file; every scope scanned at once, then a
# dry run of a cleaning.
mkdir -p "$home/Library/Caches/com.example.viewer" "$home/Library/Logs/Viewer" \
         "$home/Documents/copies" \
         "$sysroot/Applications/Sketchbook.app/Contents/Resources/fr.lproj"
head -c 200000 /dev/urandom > "$home/Library/Caches/com.example.viewer/tiles"
printf 'viewer log\n%.0s' {1..500} > "$home/Library/Logs/Viewer/viewer.log"
head -c 2000000 /dev/urandom > "$home/Documents/copies/report.pdf"
cp "$home/Documents/copies/report.pdf" "$home/Documents/report (copy).pdf"
echo 'Hello = "Bonjour";' > "$sysroot/Applications/Sketchbook.app/Contents/Resources/fr.lproj/Localizable.strings"
# With the sample engine, the antivirus scope scans the downloads too (a new
# copy of the marker file: the one above was removed).
every=()
if [ -d "$sysroot/Applications/ClamAV/engine" ]; then
    printf 'y KLARVIK-TEST-MARKER-5d41402abc4b2a76 y' > "$home/Downloads/installer.exe"
    every=(--antivirus-path "$home/Downloads")
fi
step "klarvik scan ${every[*]} (every scope at once)"
PATH="$sample/bin:$PATH" "$klarvik" scan "${every[@]}"
step "klarvik clean user-caches user-logs duplicates --dry-run"
PATH="$sample/bin:$PATH" "$klarvik" clean user-caches user-logs duplicates --dry-run

step "What is left in the sample"
# The photo library and the antivirus engine are counted, not listed.
(cd "$sample" && find . -mindepth 1 -not -path './home/Pictures/iPhoto Library/*' \
    -not -path './sysroot/Applications/ClamAV/*' | sort)
for big in "home/Pictures/iPhoto Library" sysroot/Applications/ClamAV; do
    if [ -d "$sample/$big" ]; then
        echo "./$big holds $(find "$sample/$big" -type f | wc -l) files"
    fi
done
if [ "$(cat "$sample/elsewhere/important.txt")" = "not ours" ]; then
    echo "The link's target outside the caches is untouched."
fi
