#!/usr/bin/env bash
# Checks what installing korvel gives a desktop user.
#
#   install_test.sh tree BUILD_DIR [SIM_SIGNAL_DRIVER]
#       cmake --install into a scratch prefix, then: every library of the
#       executables resolves and the installed korvel-sim starts and ends
#       with status 0 on SIGTERM (through SIM_SIGNAL_DRIVER, the process
#       tests' driver, when given: it also checks the safe state); the
#       desktop entries validate and point at what was installed; the man
#       pages render without warnings; the icons are in the hicolor theme;
#       the udev rule is there only when the build installs it; and nothing
#       else lands in the prefix; no installed program holds the tests'
#       scripted actions.
#   install_test.sh deb BUILD_DIR
#       cpack -G DEB into a scratch folder, then: the control fields and the
#       dependencies Debian 12 needs at run time, and the package's files
#       with their owners and modes.
#
# KORVEL_UDEV_RULE names the udev rule's place below the prefix when the
# build installs it (KORVEL_INSTALL_UDEV_RULE=ON), and is empty otherwise.
#
# Exits 77 (reported by CTest as skipped) only when a tool the checks need is
# missing; tools/install-deps installs them all.
set -u

mode=${1:?mode: tree or deb}
build=${2:?build directory}
signal_driver=${3:-}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
need() {
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "SKIP: $tool is not installed (tools/install-deps installs it)"
      exit 77
    fi
  done
}

case $mode in
  tree) need cmake ldd readelf desktop-file-validate man groff gzip od ;;
  deb) need cpack dpkg-deb dpkg ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

programs=(korvel korvel-sim)
declare -A caption=(
  [korvel]="Zepora : Korvel"
  [korvel-sim]="Zepora : Korvel (simulated board)"
)

# --- checks of an installed tree ----------------------------------------

check_executables() {
  local root=$1 p exe missing
  for p in "${programs[@]}"; do
    exe=$root/bin/$p
    if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then
      fail "$exe is missing or not executable"
      continue
    fi
    missing=$(ldd "$exe" 2>&1 | grep -E 'not found|not a dynamic' || true)
    [ -z "$missing" ] || fail "$p: unresolved libraries: $missing"
    # An installed program must not look for libraries in the build tree.
    if readelf -d "$exe" | grep -E '\((RPATH|RUNPATH)\)' | grep -qF "$build"; then
      fail "$p: run path still points into the build tree"
    fi
    # The window is a module loaded only when wanted: the programs
    # themselves link no widget or display library.
    if ldd "$exe" 2>&1 | grep -qE 'libQt6(Widgets|Gui)|libxcb|libX11'; then
      fail "$p links a widget or display library: $(ldd "$exe" | grep -E 'libQt6(Widgets|Gui)|libxcb|libX11')"
    fi
  done
  local module
  module=$(find "$root/lib" -path '*/korvel/modules/korvel-window.so' 2>/dev/null | head -n 1)
  if [ -z "$module" ]; then
    fail "the window module lib/.../korvel/modules/korvel-window.so is missing"
  else
    missing=$(ldd "$module" 2>&1 | grep -E 'not found' || true)
    [ -z "$missing" ] || fail "korvel-window.so: unresolved libraries: $missing"
  fi
}

# The systemd unit runs the installed korvel, never enabled by the install.
check_service_unit() {
  local root=$1 unit=$1/lib/systemd/system/korvel@.service
  if [ ! -f "$unit" ]; then
    fail "lib/systemd/system/korvel@.service is missing"
    return
  fi
  grep -qE "^ExecStart=$root/bin/korvel --no-window " "$unit" ||
    fail "korvel@.service: ExecStart does not name $root/bin/korvel"
  grep -qE "^ExecStopPost=$root/bin/korvel --make-safe " "$unit" ||
    fail "korvel@.service: ExecStopPost does not name $root/bin/korvel"
}

# The user actions that the process tests play (crashes and throws on
# request) live only in the test build of korvel-sim: no installed program
# may hold them, as code or as the variable that starts them.
check_no_test_hooks() {
  local root=$1 p exe
  for p in "${programs[@]}"; do
    exe=$root/bin/$p
    [ -f "$exe" ] || continue
    if grep -aqE 'KORVEL_SIM_ACTIONS|play_actions|scripted failure' "$exe"; then
      fail "$p holds the test build's scripted actions"
    fi
  done
}

check_sim_starts() {
  local exe=$1/bin/korvel-sim pid status waited=0
  if [ -n "$signal_driver" ]; then
    # The process tests' driver: waits until the panel has loaded, sends
    # SIGTERM, and checks exit status 0 with the board left in the safe state.
    "$signal_driver" "$exe" TERM || fail "installed korvel-sim failed the SIGTERM check above"
    return
  fi
  "$exe" -platform offscreen >"$work/sim.out" 2>"$work/sim.err" </dev/null &
  pid=$!
  sleep 3
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    fail "korvel-sim ended by itself at start (status $?): $(cat "$work/sim.err")"
    return
  fi
  kill -TERM "$pid"
  # Generous: a busy machine may take a while to get through the exit.
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 60 ]; do
    sleep 1
    waited=$((waited + 1))
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    fail "korvel-sim did not end within 60 s of SIGTERM"
    return
  fi
  wait "$pid"
  status=$?
  [ $status -eq 0 ] || fail "korvel-sim ended with status $status on SIGTERM: $(cat "$work/sim.err")"
}

desktop_value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

check_desktop_entries() {
  local root=$1 p entry out exec
  for p in "${programs[@]}"; do
    entry=$root/share/applications/$p.desktop
    if [ ! -f "$entry" ]; then
      fail "$entry is missing"
      continue
    fi
    out=$(desktop-file-validate "$entry" 2>&1) || fail "$p.desktop does not validate: $out"
    [ -z "$out" ] || fail "$p.desktop: desktop-file-validate says: $out"
    [ "$(desktop_value "$entry" Name)" = "${caption[$p]}" ] ||
      fail "$p.desktop: Name is '$(desktop_value "$entry" Name)', not '${caption[$p]}'"
    exec=$(desktop_value "$entry" Exec)
    [ "$exec" = "$p" ] || fail "$p.desktop: Exec is '$exec', not '$p'"
    [ -x "$root/bin/${exec%% *}" ] || fail "$p.desktop: Exec names '$exec', which was not installed"
    [ "$(desktop_value "$entry" Icon)" = korvel ] || fail "$p.desktop: Icon is not korvel"
    [ "$(desktop_value "$entry" Terminal)" = false ] || fail "$p.desktop: Terminal is not false"
  done
}

check_man_pages() {
  local root=$1 p page text errors
  for p in "${programs[@]}"; do
    page=$root/share/man/man1/$p.1.gz
    if [ ! -f "$page" ]; then
      fail "$page is missing"
      continue
    fi
    errors=$(gzip -dc "$page" | groff -t -man -Tutf8 -ww -z 2>&1)
    [ -z "$errors" ] || fail "$p.1: groff warns: $errors"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man --warnings -E UTF-8 -l "$page" 2>"$work/man.err")
    [ -s "$work/man.err" ] && fail "$p.1: man warns: $(cat "$work/man.err")"
    grep -qE "^ +$p - " <<<"$text" || fail "$p.1: NAME line '$p - ...' missing"
    grep -qE '@[A-Z_]+@' <<<"$text" && fail "$p.1: placeholder left unfilled: $(grep -oE '@[A-Z_]+@' <<<"$text" | head -n 1)"
    for section in SYNOPSIS DESCRIPTION OPTIONS SAFETY "SEE ALSO"; do
      grep -qx "$section" <<<"$text" || fail "$p.1: section $section missing"
    done
    # Every option the program offers is in its page.
    for opt in $(QT_QPA_PLATFORM=none "$root/bin/$p" --help | grep -oE -- '--[a-z-]+' | sort -u); do
      gzip -dc "$page" | grep -qF -- "${opt//-/\\-}" || fail "$p.1: option $opt missing"
    done
  done
  text=$(gzip -dc "$root/share/man/man1/korvel.1.gz" 2>/dev/null)
  grep -q 'FILES' <<<"$text" && grep -q '/dev/parport' <<<"$text" ||
    fail "korvel.1: FILES does not name /dev/parport*"
}

png_size() { od -A n -t u1 -j 16 -N 8 "$1" | awk '{print $3*256+$4 "x" $7*256+$8}'; }

check_icons() {
  local root=$1 icons=$1/share/icons/hicolor fresh
  [ -f "$icons/scalable/apps/korvel.svg" ] || fail "scalable/apps/korvel.svg is missing"
  if [ ! -f "$icons/32x32/apps/korvel.png" ]; then
    fail "32x32/apps/korvel.png is missing"
    return
  fi
  [ "$(od -A n -t x1 -N 8 "$icons/32x32/apps/korvel.png" | tr -d ' ')" = 89504e470d0a1a0a ] ||
    fail "32x32/apps/korvel.png is not a PNG"
  [ "$(png_size "$icons/32x32/apps/korvel.png")" = 32x32 ] ||
    fail "32x32/apps/korvel.png is $(png_size "$icons/32x32/apps/korvel.png"), not 32x32"
  if command -v rsvg-convert >/dev/null 2>&1; then
    # The PNG is rendered from the SVG by dist/render-icon.sh and kept in the
    # tree; a changed SVG without a fresh PNG shows two different icons.
    fresh=$work/fresh.png
    if ! rsvg-convert --width 32 --height 32 --format png --output "$fresh" \
        "$icons/scalable/apps/korvel.svg" 2>"$work/rsvg.err"; then
      fail "korvel.svg does not render: $(cat "$work/rsvg.err")"
    elif ! cmp -s "$fresh" "$icons/32x32/apps/korvel.png"; then
      fail "32x32/apps/korvel.png is not the rendering of korvel.svg; run dist/render-icon.sh"
    fi
  else
    echo "note: rsvg-convert missing, PNG not compared with the SVG"
  fi
}

udev_rule=${KORVEL_UDEV_RULE:-}
rule_text='KERNEL=="parport[0-9]*", GROUP="lp", MODE="0660"'

check_udev_rule() {
  local root=$1 rules
  rules=$(cd "$root" && find . -name '*.rules' | sed 's|^\./||')
  if [ -z "$udev_rule" ]; then
    [ -z "$rules" ] || fail "udev rule installed although KORVEL_INSTALL_UDEV_RULE is off: $rules"
  elif [ ! -f "$root/$udev_rule" ]; then
    fail "udev rule missing at $udev_rule"
  else
    grep -qxF "$rule_text" "$root/$udev_rule" || fail "$udev_rule lacks the line $rule_text"
  fi
}

check_nothing_else() {
  local root=$1 extra
  extra=$(cd "$root" && find . -type f | sed 's|^\./||' | grep -vxF "$udev_rule" | grep -vE \
    '^(bin/korvel|bin/korvel-sim|share/applications/korvel(-sim)?\.desktop|share/icons/hicolor/(scalable/apps/korvel\.svg|32x32/apps/korvel\.png)|share/man/man1/korvel(-sim)?\.1\.gz|lib/([^/]+/)?korvel/modules/korvel-window\.so|lib/systemd/system/korvel@\.service|share/doc/korvel/(copyright|changelog\.gz))$')
  [ -z "$extra" ] || fail "unexpected files installed: $extra"
}

run_tree() {
  local root=$work/prefix
  if ! cmake --install "$build" --prefix "$root" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install failed"
    return
  fi
  check_executables "$root"
  check_no_test_hooks "$root"
  check_sim_starts "$root"
  check_desktop_entries "$root"
  check_man_pages "$root"
  check_icons "$root"
  check_udev_rule "$root"
  check_service_unit "$root"
  check_nothing_else "$root"
}

# --- checks of the Debian package ----------------------------------------

run_deb() {
  local debs deb depends listing f p
  if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack -G DEB failed"
    return
  fi
  debs=("$work"/pkg/korvel_*.deb)
  if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one korvel_*.deb, found: $(ls "$work/pkg")"
    return
  fi
  deb=${debs[0]}
  field() { dpkg-deb -f "$deb" "$1"; }

  [ "$(field Package)" = korvel ] || fail "Package is '$(field Package)'"
  [ "$(field Section)" = electronics ] || fail "Section is '$(field Section)', not electronics"
  [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
  grep -qE '.+ <[^ >]+@[^ >]+>$' <<<"$(field Maintainer)" ||
    fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
  [ -n "$(field Description)" ] || fail "Description is empty"
  [ -z "$(field Homepage)" ] || fail "Homepage is set"

  depends=$(field Depends)
  echo "Depends: $depends"
  for p in libqt6widgets6 libqt6gui6 libqt6network6 libqt6websockets6 libqt6core6 libsystemd0 libsodium23 libsqlite3-0 libjs-chart.js qt6-qpa-plugins fonts-liberation fonts-dejavu-core; do
    grep -qE "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p"
  done

  mkdir -p "$work/unpacked"
  dpkg-deb -x "$deb" "$work/unpacked" && check_no_test_hooks "$work/unpacked/usr"

  listing=$(dpkg-deb -c "$deb")
  for f in usr/bin/korvel usr/bin/korvel-sim; do
    grep -qE "^-rwxr-xr-x root/root .* \./$f$" <<<"$listing" ||
      fail "$f missing or not root-owned 0755 in the package"
  done
  for f in usr/share/applications/korvel.desktop usr/share/applications/korvel-sim.desktop \
      usr/share/icons/hicolor/scalable/apps/korvel.svg usr/share/icons/hicolor/32x32/apps/korvel.png \
      usr/share/man/man1/korvel.1.gz usr/share/man/man1/korvel-sim.1.gz \
      usr/lib/systemd/system/korvel@.service; do
    grep -qE "^-rw-r--r-- root/root .* \./$f$" <<<"$listing" ||
      fail "$f missing or not root-owned 0644 in the package"
  done
  grep -qE '^-rw-r--r-- root/root .* \./usr/lib/([^/]+/)?korvel/modules/korvel-window\.so$' <<<"$listing" ||
    fail "usr/lib/.../korvel/modules/korvel-window.so missing or not root-owned 0644 in the package"
  grep -qE '^ExecStart=/usr/bin/korvel --no-window ' \
    <(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/system/korvel@.service 2>/dev/null) ||
    fail "the package's korvel@.service does not run /usr/bin/korvel"
  if grep -E '^d' <<<"$listing" | grep -vqE '^drwxr-xr-x root/root '; then
    fail "package has directories that are not root-owned 0755"
  fi
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qE '^\./(postinst|postrm)$' &&
    fail "the package has maintainer scripts (the window module must stay out of ldconfig's folders)"
  grep -qE '\./(usr/include/|usr/lib/.*\.a$)' <<<"$listing" &&
    fail "package carries build files: $(grep -E '\./(usr/include/|usr/lib/.*\.a$)' <<<"$listing")"
  if [ -z "$udev_rule" ]; then
    grep -q '\.rules$' <<<"$listing" && fail "package carries a udev rule although it is off"
  else
    grep -qE "^-rw-r--r-- root/root .* \./usr/$udev_rule$" <<<"$listing" ||
      fail "package lacks the udev rule usr/$udev_rule"
  fi
  true
}

case $mode in
  tree) run_tree ;;
  deb) run_deb ;;
esac

if [ $failures -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "install checks ($mode) passed"
