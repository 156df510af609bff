#!/usr/bin/env bash
# Checks that every source includes only headers of the folders its folder
# may use (README.md, "Code layout"), and that the core uses no Qt.
#   layering_test.sh ROOT          checks the tree at ROOT
#   layering_test.sh --self-test ROOT
#                                  also proves that the check fails on a
#                                  forbidden include, in a scratch copy
set -euo pipefail

# folder: the folders whose headers it may include (itself included).
declare -A allowed=(
  [port]="port"
  [sim]="sim port"
  [output]="output port"
  [dvm]="dvm port"
  [panel]="panel port output dvm"
  [guard]="guard port"
  [session]="session panel port history"
  [ui]="ui session panel port history trend"
  [trend]="trend history"
  [remote]="remote"
  [history]="history"
  [store]="store history"
  [web]="web panel port output dvm history"
  [app]="app session panel guard port sim remote history web store"
)
core="port sim output dvm panel guard history store"

check() {
  local root=$1 bad=0 folder file line target
  for folder in "${!allowed[@]}"; do
    [[ -d $root/$folder ]] || continue
    while IFS= read -r file; do
      while IFS= read -r line; do
        target=${line#*\"}
        target=${target%%/*}
        if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
          echo "$folder/${file##*/}: includes \"${line#*\"} ($folder/ may use: ${allowed[$folder]})"
          bad=1
        fi
      done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" || true)
      if [[ " $core " == *" $folder "* ]] && grep -Eq '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file"; then
        echo "$folder/${file##*/}: includes Qt, which the core must not use"
        bad=1
      fi
    done < <(find "$root/$folder" -maxdepth 1 -name '*.h' -o -maxdepth 1 -name '*.cpp')
  done
  return $bad
}

if [[ ${1:-} == --self-test ]]; then
  root=$2
  check "$root"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  for folder in "${!allowed[@]}"; do
    [[ -d $root/$folder ]] && cp -r "$root/$folder" "$scratch/"
  done
  # Each injected include must be caught on its own.
  for case in 'output:#include "panel/panel.h"' 'sim:#include "panel/controls.h"' \
              'dvm:#include "output/latch_writer.h"' 'panel:#include <QObject>' \
              'app:#include "ui/main_window.h"'; do
    folder=${case%%:*}
    rm -rf "${scratch:?}/$folder"
    cp -r "$root/$folder" "$scratch/"
    printf '%s\n' "${case#*:}" > "$scratch/$folder/forbidden.h"
    if check "$scratch" > /dev/null; then
      echo "the check missed a forbidden include in $folder/: ${case#*:}"
      exit 1
    fi
    rm "$scratch/$folder/forbidden.h"
  done
  echo "layering holds, and a forbidden include is caught"
else
  check "${1:?usage: layering_test.sh [--self-test] ROOT}"
fi
