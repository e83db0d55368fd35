#!/usr/bin/env bash
# Draws the application icon (icons/app.png): a white play triangle on an amber disc, transparent around it.
# Run again only when the artwork changes; the result is committed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=256
# Inside the disc: the triangle's points are (96,72), (96,184) and (192,128).
disc="lte(hypot(X-128,Y-128),120)"
tri="gte(X,96)*lte(abs(Y-128),(192-X)*56/96)"
ffmpeg -v error -y -f lavfi -i "color=c=black@0:s=${size}x${size},format=rgba" -frames:v 1 \
  -vf "geq=r='if(${disc},if(${tri},255,232),0)':g='if(${disc},if(${tri},255,140+40*Y/${size}),0)':b='if(${disc},if(${tri},255,36),0)':a='if(${disc},255,0)'" \
  "$root/icons/app.png"
