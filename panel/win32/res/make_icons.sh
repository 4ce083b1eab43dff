#!/usr/bin/env bash
# Draws the panel's three icons with ImageMagick and writes them as multi-size .ico files beside this
# script: Kestrel.ico (the application icon), Connected.ico (the service has answered) and
# Waiting.ico (the service has not answered yet). Each is drawn at 64x64 and scaled to 48, 32 and 16.
# The .ico files are committed; run this again only to change the drawings.
set -euo pipefail
cd "$(dirname "$0")"
command -v convert >/dev/null || { echo "ImageMagick's convert is needed" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A disk platter: a dark rim, a grey surface with tracks, a hub, and rows of file blocks that run
# together into one piece (the defragmented file) on the right-hand side.
platter() {  # platter OUT.png
    convert -size 64x64 xc:none \
        -fill '#1f2d4a' -draw 'circle 32,32 32,2' \
        -fill '#b9c3d3' -draw 'circle 32,32 32,5' \
        -fill none -stroke '#97a3b6' -strokewidth 1 \
        -draw 'circle 32,32 32,11' -draw 'circle 32,32 32,17' -draw 'circle 32,32 32,23' \
        -stroke none -fill '#2f6fd6' \
        -draw 'rectangle 8,27 14,36' -draw 'rectangle 17,27 22,36' \
        -fill '#e0822a' -draw 'rectangle 40,27 56,36' \
        -fill '#1f2d4a' -draw 'circle 32,32 32,27' \
        -fill '#eef2f8' -draw 'circle 32,32 32,30' \
        "$1"
}

# A status lamp in the lower right corner.
lamp() {  # lamp IN.png COLOUR OUT.png
    convert "$1" \
        -fill '#ffffff' -draw 'circle 50,50 50,37' \
        -fill "$2" -draw 'circle 50,50 50,40' \
        "$3"
}

to_ico() {  # to_ico IN.png OUT.ico
    convert "$1" \( -clone 0 -resize 48x48 \) \( -clone 0 -resize 32x32 \) \( -clone 0 -resize 16x16 \) \
        -delete 0 "$2"
}

platter "$tmp/platter.png"
# The application icon: the platter with a swooping bird's wing across its top, in the brand orange.
convert "$tmp/platter.png" -fill '#e0822a' -stroke '#7a3d0c' -strokewidth 1 \
    -draw 'polygon 6,20 30,10 58,6 40,16 26,22' "$tmp/app.png"
lamp "$tmp/platter.png" '#2fb34a' "$tmp/connected.png"
lamp "$tmp/platter.png" '#d23a2a' "$tmp/waiting.png"

to_ico "$tmp/app.png" Kestrel.ico
to_ico "$tmp/connected.png" Connected.ico
to_ico "$tmp/waiting.png" Waiting.ico
echo "wrote Kestrel.ico Connected.ico Waiting.ico"
