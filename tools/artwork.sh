#!/usr/bin/env bash
# Draws the interactive program's images into Resources/ with ImageMagick. The PNGs are
# committed; run this again only to change the artwork.
set -euo pipefail
cd "$(dirname "$0")/../Resources"

bold=Liberation-Sans-Bold
regular=Liberation-Sans
orange='gradient:#edaf14-#c6680c'
# Metadata off so that drawing the same artwork twice gives the same bytes.
png=(-strip -define png:exclude-chunks=date,time)

# Wordmark for the orange header: a baked-tile mark and the name, white on transparent.
convert -size 245x49 xc:none \
  -fill '#ffffff' -draw 'roundrectangle 4,6 40,42 5,5' \
  -fill '#c6680c' -draw 'rectangle 9,11 21,23' -draw 'rectangle 24,26 35,37' \
  -fill '#edaf14' -draw 'rectangle 24,11 35,23' -draw 'rectangle 9,26 21,37' \
  -font "$bold" -pointsize 36 -fill '#00000055' -annotate +53+40 'KELVOR' \
  -fill '#ffffff' -annotate +51+38 'KELVOR' \
  "${png[@]}" PNG32:logo.png

# Splash: light top-left for the black "Loading..." line, the wordmark on an orange band in the
# middle; the about dialog shows only a strip about 60 pixels high around the centre.
convert -size 480x240 xc:'#f4f4f4' \
  \( -size 100x480 "$orange" -rotate 90 \) -geometry +0+70 -composite \
  -fill '#2e2e2e' -draw 'rectangle 0,226 480,240' \
  -fill '#ffffff' -draw 'roundrectangle 124,99 166,141 6,6' \
  -fill '#c6680c' -draw 'rectangle 130,105 143,118' -draw 'rectangle 147,122 160,135' \
  -fill '#edaf14' -draw 'rectangle 147,105 160,118' -draw 'rectangle 130,122 143,135' \
  -font "$bold" -pointsize 44 -fill '#00000044' -annotate +178+138 'KELVOR' \
  -fill '#ffffff' -annotate +176+136 'KELVOR' \
  -font "$regular" -pointsize 15 -fill '#5a5a5a' -gravity north -annotate +0+186 'texture map baker' \
  "${png[@]}" PNG24:splash.png

# Application icon: the tile mark on an orange rounded square.
convert -size 256x256 xc:none \
  \( -size 240x240 "$orange" \( +clone -alpha extract -fill black -colorize 100 -fill white \
     -draw 'roundrectangle 0,0 239,239 44,44' \) -alpha off -compose copy_opacity -composite \) \
  -geometry +8+8 -compose over -composite \
  -fill '#ffffff' -draw 'roundrectangle 52,52 204,204 18,18' \
  -fill '#c6680c' -draw 'rectangle 70,70 124,124' -draw 'rectangle 132,132 186,186' \
  -fill '#edaf14' -draw 'rectangle 132,70 186,124' -draw 'rectangle 70,132 124,186' \
  "${png[@]}" PNG32:appicon.png

# Check-box indicators for the dark regions, 25 x 25.
box=(-size 25x25 xc:none -fill '#343434' -stroke '#6a6a6a' -strokewidth 1 -draw 'roundrectangle 2,2 22,22 4,4')
convert "${box[@]}" "${png[@]}" PNG32:checkbox_unchecked.png
convert "${box[@]}" -fill none -stroke '#edaf14' -strokewidth 3 \
  -draw "stroke-linecap round stroke-linejoin round path 'M 7,12.5 L 11,16.5 L 18,8.5'" \
  "${png[@]}" PNG32:checkbox_checked.png
