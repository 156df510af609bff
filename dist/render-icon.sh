#!/bin/sh
# Renders the 32x32 application icon korvel-32.png from korvel.svg.
# Run it after changing the SVG; it needs rsvg-convert (Debian: librsvg2-bin).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
rsvg-convert --width 32 --height 32 --format png \
  --output "$here/korvel-32.png" "$here/korvel.svg"
