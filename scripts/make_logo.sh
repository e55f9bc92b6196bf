#!/usr/bin/env bash
# Draws the product logo and the application icon (ImageMagick). The results are committed;
# run this again only to change the drawing.
set -euo pipefail
cd "$(dirname "$0")/../resources/images"
master=$(mktemp --suffix=.png)
trap 'rm -f "$master"' EXIT

# A blue rounded tile with a white "V" and one orange voxel in its notch, drawn at 512 px.
convert -size 512x512 xc:none \
    -fill '#1d4f91' -draw 'roundrectangle 16,16 495,495 96,96' \
    -fill '#2f6fc4' -draw 'roundrectangle 16,16 495,300 96,96' \
    -fill '#1d4f91' -draw 'rectangle 16,200 495,300' \
    -fill white -draw 'polygon 92,104 188,104 256,330 324,104 420,104 300,420 212,420' \
    -fill '#f39c12' -draw 'polygon 256,120 300,144 256,168 212,144' \
    -fill '#d35400' -draw 'polygon 212,144 256,168 256,216 212,192' \
    -fill '#e67e22' -draw 'polygon 300,144 256,168 256,216 300,192' \
    "$master"

convert "$master" -filter Lanczos -resize 56x56 -strip PNG32:voxmere_logo.png
convert "$master" -filter Lanczos -define icon:auto-resize=256,128,96,64,48,40,32,24,20,16 \
    application.ico
identify application.ico | wc -l | grep -qx 10
