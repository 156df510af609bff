#!/usr/bin/env bash
# The distribution's own linters on what korvel ships and runs.
#
#   lint_test.sh shell SOURCE_DIR    shellcheck on every shell script
#   lint_test.sh man SOURCE_DIR      mandoc -Tlint on every man page in dist/
#   lint_test.sh package BUILD_DIR   lintian on the Debian package (cpack)
#
# Clean means no finding at all (for lintian: no error and no warning). Each
# finding is printed with its file, and the last line names what failed.
set -u
mode=${1:?shell, man or package}
dir=$(cd "${2:?directory}" && pwd)

need() {
  command -v "$1" >/dev/null 2>&1 ||
    { echo "FAIL: $1 is not installed (tools/install-deps --tests installs it)"; exit 1; }
}

# Every shell script of the source tree: files whose first line runs a
# shell, outside build trees and version control.
shell_scripts() {
  find "$dir" \( -name '.git' -o -name 'build*' \) -prune -o -type f -print |
    while IFS= read -r f; do
      head -c 100 "$f" 2>/dev/null | head -n 1 |
        grep -qE '^#!(/usr)?/bin/(env +)?(ba|da|busybox +)?sh( |$)' && echo "$f"
    done | sort
}

case $mode in
  shell)
    need shellcheck
    mapfile -t scripts < <(shell_scripts)
    [ ${#scripts[@]} -gt 0 ] || { echo "FAIL: no shell scripts found below $dir"; exit 1; }
    bad=()
    for f in "${scripts[@]}"; do
      # From the script's folder, so that its source lines and the
      # project's .shellcheckrc are found as when run by hand.
      if ! (cd "$(dirname "$f")" && shellcheck -x "$(basename "$f")"); then
        bad+=("${f#"$dir"/}")
      fi
    done
    if [ ${#bad[@]} -ne 0 ]; then
      echo "FAIL: shellcheck found problems in ${#bad[@]} of ${#scripts[@]} scripts: ${bad[*]}"
      exit 1
    fi
    echo "shellcheck: ${#scripts[@]} scripts clean"
    ;;
  man)
    need mandoc
    mapfile -t pages < <(find "$dir/dist" -maxdepth 1 -type f -name '*.[1-9]' | sort)
    [ ${#pages[@]} -gt 0 ] || { echo "FAIL: no man pages in $dir/dist"; exit 1; }
    bad=()
    for f in "${pages[@]}"; do
      out=$(mandoc -Tlint "$f" 2>&1)
      if [ -n "$out" ]; then
        echo "$out"
        bad+=("${f#"$dir"/}")
      fi
    done
    if [ ${#bad[@]} -ne 0 ]; then
      echo "FAIL: mandoc -Tlint found problems in ${bad[*]}"
      exit 1
    fi
    echo "mandoc -Tlint: ${#pages[@]} man pages clean"
    ;;
  package)
    need lintian
    need cpack
    work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-lintian.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    if ! cpack -G DEB --config "$dir/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
      cat "$work/cpack.log"
      echo "FAIL: cpack -G DEB failed"
      exit 1
    fi
    debs=("$work"/korvel_*.deb)
    [ -f "${debs[0]}" ] || { echo "FAIL: cpack made no korvel_*.deb"; exit 1; }
    # Every tag lintian shows, with its explanation for errors and
    # warnings; only errors and warnings fail the test.
    lintian --info --display-level '>=pedantic' "${debs[0]}" 2>&1 |
      grep -v 'running with root privileges is not recommended' >"$work/lintian.log"
    cat "$work/lintian.log"
    tags=$(grep -E '^[EW]: ' "$work/lintian.log")
    if [ -n "$tags" ]; then
      echo "FAIL: lintian reports $(wc -l <<<"$tags") errors and warnings on $(basename "${debs[0]}"):"
      echo "$tags"
      exit 1
    fi
    echo "lintian: $(basename "${debs[0]}") has no error and no warning"
    ;;
  *)
    echo "lint_test.sh: unknown check '$mode'; use shell, man or package"
    exit 2
    ;;
esac
