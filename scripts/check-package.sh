#!/usr/bin/env bash
# Builds the Debian package from a build folder (default: build) and checks it
# as a user meets it: the files it holds, what it depends on, the menu entry,
# lintian, `cmake --install` to a prefix, and the installed binary started the
# way the menu starts it, under a virtual X server, up to its window.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scratch=$(mktemp -d)
xvfb_pid=""
velkin_pid=""
cleanup() {
  [ -n "$velkin_pid" ] && kill "$velkin_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

rm -f "$build"/velkin_*.deb
cmake --build "$build" --target package >/dev/null
debs=("$build"/velkin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one velkin_*.deb in $build"
deb=${debs[0]}
echo "check-package: $deb"

expected_files="./usr/bin/velkin
./usr/share/applications/velkin.desktop
./usr/share/doc/velkin/README.md.gz
./usr/share/doc/velkin/changelog.gz
./usr/share/doc/velkin/copyright
./usr/share/icons/hicolor/scalable/apps/velkin.svg
./usr/share/man/man1/velkin.1.gz"
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
[ "$files" = "$expected_files" ] || fail "file list differs:"$'\n'"$files"
grep -q '^-rwxr-xr-x root/root .* ./usr/bin/velkin$' <<<"$listing" || fail "velkin is not 0755 root:root"

# Every library the binary links must come through Depends (dpkg-shlibdeps
# finds them), and so must the font and the icon engine it uses unlinked.
depends=$(dpkg-deb -f "$deb" Depends)
dpkg -x "$deb" "$scratch/root"
# The package is asked about the file the loader really takes: a bare name
# can match other architectures' copies (libc6-i386's libm.so.6).
loaded=$(ldd "$scratch/root/usr/bin/velkin")
for library in $(objdump -p "$scratch/root/usr/bin/velkin" | awk '$1 == "NEEDED" {print $2}'); do
  path=$(awk -v l="$library" '$1 == l && $2 == "=>" {print $3}' <<<"$loaded")
  [ -n "$path" ] || fail "the loader finds no $library"
  owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null || true)
  owner=$(head -n1 <<<"$owner" | cut -d: -f1)
  [ -n "$owner" ] || fail "no installed package holds $path"
  [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
    fail "$library ($owner) is missing from Depends: $depends"
done
for package in fonts-noto-cjk libqt6svg6; do
  [[ "$depends" == *"$package"* ]] || fail "$package is missing from Depends: $depends"
done

entry="$scratch/root/usr/share/applications/velkin.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate refused the menu entry"
for line in 'Icon=velkin' 'Categories=Development;Database;' 'Comment=' 'Comment\[ja\]='; do
  grep -q "^$line" "$entry" || fail "the menu entry lacks $line"
done

# Warnings are accepted; an error fails.
lintian_status=0
lintian_report=$(lintian --fail-on error "$deb" 2>&1) || lintian_status=$?
grep -v '^running with root privileges' <<<"$lintian_report" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
installed=$(cd "$scratch/prefix" && find . -type f | sed 's|^\./|./usr/|' | sort)
[ "$installed" = "$expected_files" ] || fail "cmake --install gave:"$'\n'"$installed"

# --help and --version answer without a display, and the manual page reads.
version=$(env -u DISPLAY "$scratch/root/usr/bin/velkin" --version) || fail "velkin --version failed"
[ "$version" = "velkin $(dpkg-deb -f "$deb" Version)" ] || fail "velkin --version says: $version"
env -u DISPLAY "$scratch/root/usr/bin/velkin" --help | grep -q 'Velkin.ini' || fail "velkin --help says nothing of Velkin.ini"
zcat "$scratch/root/usr/share/man/man1/velkin.1.gz" | man -l - >/dev/null 2>&1 || fail "the manual page does not read"
# The help travels with the package: the README beside the manual page, which
# points there and describes every setting the window reads.
zcat "$scratch/root/usr/share/doc/velkin/README.md.gz" | cmp -s - README.md || fail "the installed README is not README.md"
manual=$(zcat "$scratch/root/usr/share/man/man1/velkin.1.gz")
grep -q '/usr/share/doc/velkin/README.md.gz' <<<"$manual" || fail "the manual page does not point to the README"
for key in $(grep -oh 'kIniSection), QStringLiteral("[A-Z_]*")' shell/*.cpp | sed 's/.*("\(.*\)")/\1/' | sort -u); do
  grep -q "^\.BR\? .*\b$key\b" <<<"$manual" || fail "the manual page does not describe the setting $key"
done

# Start the installed binary through the menu entry's own command, from a
# folder that is not the home folder, with a home that holds no settings.
mkdir -p "$scratch/home" "$scratch/elsewhere"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
[ -s "$scratch/display" ] || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
export DISPLAY=":$(cat "$scratch/display")"
command=$(sed -n 's/^Exec=//p' "$entry")
(cd "$scratch/elsewhere" && export HOME="$scratch/home" PATH="$scratch/root/usr/bin:$PATH" \
   XDG_RUNTIME_DIR="$scratch" && eval "exec $command") &
velkin_pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Velkin$' | head -n1) ||
  fail "no Velkin window within 30 s"
[ "$(readlink "/proc/$velkin_pid/exe")" = "$scratch/root/usr/bin/velkin" ] ||
  fail "the window is not the installed binary's"
[ "$(readlink "/proc/$velkin_pid/cwd")" = "$scratch/home" ] || fail "not started in the home folder"
icon=$(xprop -id "$window" _NET_WM_ICON)
[[ "$icon" == *"Icon ("* ]] || fail "the window has no icon: $icon"

# Quit with its access key, as a user would; the settings land at home.
xdotool windowfocus --sync "$window" key alt+q
for _ in $(seq 100); do kill -0 "$velkin_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$velkin_pid" 2>/dev/null && fail "Alt+Q did not close the window within 10 s"
wait "$velkin_pid" || fail "velkin exited with status $?"
velkin_pid=""
[ "$(stat -c %a "$scratch/home/Velkin.ini" 2>/dev/null)" = 600 ] ||
  fail "Velkin.ini is not at home with mode 600"
[ -z "$(ls -A "$scratch/elsewhere")" ] || fail "files were left in the launch folder"
echo "check-package: package, menu entry and installed binary all right"
