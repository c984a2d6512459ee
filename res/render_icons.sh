#!/usr/bin/env bash
# Regenerates the committed PNG renderings from the SVG sources (needs rsvg-convert, Debian librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
main=icons/hicolor/scalable/apps/sondrel.svg
for s in 16 22 24 32 48 64 128 256; do
  mkdir -p "icons/hicolor/${s}x${s}/apps"
  rsvg-convert -w "$s" -h "$s" "$main" -o "icons/hicolor/${s}x${s}/apps/sondrel.png"
done
for name in app-generic protocol; do
  for s in 16 32; do
    rsvg-convert -w "$s" -h "$s" "icons/$name.svg" -o "images/$name-$s.png"
  done
done
rsvg-convert images/splash.svg -o images/splash.png
