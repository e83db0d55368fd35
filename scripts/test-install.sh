#!/usr/bin/env bash
# Installs the build tree $1 into a temporary prefix and checks the result as the desktop reads it: the
# program runs through its link in bin/ and finds its licence texts, and the desktop file and the AppStream
# metainfo pass their validators.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() {
  echo "install: $*" >&2
  exit 1
}

for file in bin/kestrune libexec/kestrune/kestrune libexec/kestrune/LICENSE.txt \
  libexec/kestrune/THIRD-PARTY-NOTICES.txt share/applications/kestrune.desktop \
  share/icons/hicolor/256x256/apps/kestrune.png share/metainfo/org.kestrune.MediaPlayer.metainfo.xml; do
  [ -e "$prefix/$file" ] || fail "missing $file"
done
[ -x "$prefix/bin/kestrune" ] || fail "bin/kestrune does not run"
# The About box opens the licence beside the program's real location, not beside the link.
[ "$(readlink -f "$prefix/bin/kestrune")" = "$(readlink -f "$prefix/libexec/kestrune/kestrune")" ] \
  || fail "bin/kestrune does not lead to the program"
grep -q "GNU GENERAL PUBLIC LICENSE" "$prefix/libexec/kestrune/LICENSE.txt" || fail "LICENSE.txt holds no GPL"
grep -q "Version 3, 29 June 2007" "$prefix/libexec/kestrune/LICENSE.txt" || fail "LICENSE.txt is not GPL 3"
"$prefix/bin/kestrune" --version >/dev/null || fail "the installed program does not start"

desktop="$prefix/share/applications/kestrune.desktop"
grep -qx "Icon=kestrune" "$desktop" || fail "the desktop file names no icon kestrune"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/org.kestrune.MediaPlayer.metainfo.xml" \
  || fail "appstreamcli validate"
size=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' \
  "$prefix/share/icons/hicolor/256x256/apps/kestrune.png")
[ "$size" = "256x256" ] || fail "the icon is $size"
echo "install: everything in place under a temporary prefix"
