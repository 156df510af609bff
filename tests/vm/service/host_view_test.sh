#!/usr/bin/env bash
# The service machine on an ordinary host: no /.dockerenv, and a crowded /tmp.
#
#   host_view_test.sh BUILD_DIR [MACHINE_TEST [ARGUMENTS...]]
#
# In a private mount namespace (the host's own mounts stay as they are),
# lays an overlay over the host's root whose upper layer (a tmpfs) whites
# out /.dockerenv, binds /proc, /sys and /dev into it, and crowds its /tmp
# the way a developer's machine may: a large tree, and a chroot with /proc
# and /sys bound in. Then runs MACHINE_TEST BUILD_DIR ARGUMENTS...
# (service_vm_test.sh by default; vm_test.sh with its board library runs
# the real-kernel machine) chrooted there, as the user who runs this test,
# and prints how long it
# took. Everything it writes goes to the tmpfs and is gone at the end.
# Needs root, or sudo without a password; skipped (status 77) without.
set -u
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
  build=$(cd "${1:?build directory}" && pwd)
  machine_test=${2:-$here/service_vm_test.sh}
  shift $(($# < 2 ? $# : 2))
  as_root=()
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null || ! sudo -n true 2>/dev/null; then
      echo "skipped: a private mount namespace needs root or sudo without a password"
      exit 77
    fi
    as_root=(sudo -n)
  fi
  command -v unshare >/dev/null || { echo "FAIL: unshare is missing (util-linux)"; exit 1; }
  view=$(mktemp -d "${TMPDIR:-/tmp}/korvel-host-view.XXXXXX")
  "${as_root[@]}" unshare --mount --propagation private \
    "$0" --inside "$(id -u)" "$(id -g)" "$view" "$build" "$machine_test" "$@"
  status=$?
  rmdir "$view" 2>/dev/null
  exit $status
fi

# Inside the namespace, as root.
uid=$2 gid=$3 view=$4 build=$5 machine_test=$6
shift 6
fail() {
  echo "FAIL: $*"
  exit 1
}
mount -t tmpfs -o mode=0755 host-view "$view" || fail "cannot mount a tmpfs on $view"
mkdir "$view/upper" "$view/work" "$view/root"
mknod "$view/upper/.dockerenv" c 0 0 || fail "cannot make the whiteout of /.dockerenv"
mount -t overlay -o "lowerdir=/,upperdir=$view/upper,workdir=$view/work" host-view "$view/root" ||
  fail "cannot lay an overlay over /"
root=$view/root
for d in /proc /sys /dev; do
  mount --rbind "$d" "$root$d" || fail "cannot bind $d into the view"
done
# The folders the test reads that lie on file systems of their own.
for path in "$build" "$here" "${KORVEL_VM_CACHE:-/var/cache/korvel-vm}"; do
  [ -e "$path" ] || continue
  mp=$(findmnt -n -o TARGET -T "$path")
  if [ "$mp" != / ] && ! mountpoint -q "$root$mp"; then
    mount --rbind "$mp" "$root$mp" || fail "cannot bind $mp into the view"
  fi
done
[ -e /.dockerenv ] && echo "the host has /.dockerenv; the view has none"
[ ! -e "$root/.dockerenv" ] || fail "the view still shows /.dockerenv"

# The crowded /tmp: 40 000 files in 200 folders, and a chroot with the
# kernel's /proc and /sys in it.
crowd=$root/tmp/korvel-crowd
mkdir -p "$crowd/chroot/proc" "$crowd/chroot/sys"
mount --rbind /proc "$crowd/chroot/proc" && mount --rbind /sys "$crowd/chroot/sys" ||
  fail "cannot bind /proc and /sys into the crowded /tmp"
/usr/bin/python3 - "$crowd/tree" <<'PY' || fail "cannot fill the crowded /tmp"
import os, sys
for d in range(200):
    folder = os.path.join(sys.argv[1], "d%03d" % d)
    os.makedirs(folder)
    for f in range(200):
        with open(os.path.join(folder, "f%03d" % f), "w") as out:
            out.write("x")
PY
chmod -R a+rwX "$crowd/tree"
echo "crowded /tmp: $(find "$crowd/tree" -type f | wc -l) files, /proc and /sys bound at $crowd/chroot"

started=$(date +%s)
if [ "$uid" = 0 ]; then
  chroot "$root" env TMPDIR=/tmp "$machine_test" "$build" "$@"
else
  chroot "$root" setpriv --reuid="$uid" --regid="$gid" --init-groups env TMPDIR=/tmp "$machine_test" "$build" "$@"
fi
status=$?
echo "on the host view (no /.dockerenv, crowded /tmp): status $status after $(($(date +%s) - started)) s"
exit $status
