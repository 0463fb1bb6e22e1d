#!/bin/sh
# Installs the built tree with "cmake --install" and checks what a desktop needs: the
# launcher in bin/, its translation, the menu entry and the icon in share/.
# Once into a prefix with a space in its name, once staged with DESTDIR.
# Usage: test-install.sh CMAKE BUILD_DIR
set -eu
cmake=$1
build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/torvane-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
checks=0

check() { # DESCRIPTION COMMAND...
  description=$1; shift
  checks=$((checks + 1))
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}

# width and height from a PNG's IHDR chunk
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }'; }
is_png() { [ "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 89504e470d0a1a0a ]; }
value() { sed -n "s/^$2=//p" "$1"; }

verify() { # ROOT (where the files are) PREFIX (what the entry names)
  root=$1
  prefix=$2
  entry=$root/share/applications/torvane-launcher.desktop
  icon=$root/share/icons/hicolor/256x256/apps/torvane-launcher.png
  check "launcher installed and executable" test -x "$root/bin/torvane-launcher"
  check "translation where the launcher looks" test -s "$root/share/torvane-launcher/launcher.en.qm"
  check "desktop entry installed" test -f "$entry"
  check "icon installed" test -f "$icon"
  [ -f "$entry" ] && [ -f "$icon" ] || return 0
  check "entry starts with its group" test "$(head -n 1 "$entry")" = "[Desktop Entry]"
  check "entry is an application" test "$(value "$entry" Type)" = Application
  check "entry is named Torvane Online" test "$(value "$entry" Name)" = "Torvane Online"
  check "entry is in the Game category" test "$(value "$entry" Categories)" = "Game;"
  check "entry names the installed icon" test "$(value "$entry" Icon)" = torvane-launcher
  check "Exec starts the installed launcher by its quoted path" \
    test "$(value "$entry" Exec)" = "\"$prefix/bin/torvane-launcher\""
  check "TryExec names the installed launcher" test "$(value "$entry" TryExec)" = "$prefix/bin/torvane-launcher"
  check "icon is a PNG" is_png "$icon"
  check "icon is 256x256" test "$(png_size "$icon")" = 256x256
  if command -v desktop-file-validate >/dev/null 2>&1; then
    check "desktop-file-validate accepts the entry" desktop-file-validate "$entry"
  fi
}

# 1. a prefix of the player's own, with a space in its path
prefix="$work/Torvane Games"
if "$cmake" --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
  verify "$prefix" "$prefix"
else
  cat "$work/install.log"; echo "FAILED: cmake --install --prefix"; failures=$((failures + 1))
fi

# 2. staged for a package: DESTDIR holds the files, the entry names the final path
if DESTDIR="$work/stage" "$cmake" --install "$build" --prefix /opt/torvane > "$work/stage.log" 2>&1; then
  verify "$work/stage/opt/torvane" /opt/torvane
else
  cat "$work/stage.log"; echo "FAILED: cmake --install with DESTDIR"; failures=$((failures + 1))
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
