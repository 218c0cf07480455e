#!/bin/sh
# Remakes the installed PNG icons from the program's built-in XPM icon (src/ui/app_icon.cpp).
# and the Windows programs' icon file (both sizes in one .ico) from those PNG files.
# Run after changing that icon; the files are kept in the repository so that building needs no
# image tools.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source=$here/../../src/ui/app_icon.cpp
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for pair in Large:32x32 Small:16x16; do
    array=${pair%%:*} size=${pair#*:}
    {
        echo "/* XPM */"
        echo "static const char *icon[] = {"
        sed -n "/kAppIcon$array\[\] = {/,/};/p" "$source" | grep -o '"[^"]*"' | paste -sd, -
        echo "};"
    } >"$tmp/icon.xpm"
    mkdir -p "$here/hicolor/$size/apps"
    /usr/bin/convert "$tmp/icon.xpm" -strip "PNG32:$here/hicolor/$size/apps/pv4410s-updater.png"
done
mkdir -p "$here/../windows"
/usr/bin/convert "$here/hicolor/32x32/apps/pv4410s-updater.png" \
    "$here/hicolor/16x16/apps/pv4410s-updater.png" "$here/../windows/pv4410s-updater.ico"
