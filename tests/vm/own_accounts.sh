# shellcheck shell=dash
# The test machine's own account files, for both machines' first process.
# The host's root is shared as the user that runs QEMU, who may not read the
# host's shadow files (0640 root:shadow) nor dpkg's locks; they are replaced
# in the machine's overlay at ROOT, so that useradd, dpkg and systemd work
# whoever runs the test. Returns non-zero when they cannot be replaced.
own_account_files() {
  root=$1
  for f in /etc/shadow /etc/shadow- /etc/gshadow /etc/gshadow- /etc/.pwd.lock \
    /var/lib/dpkg/lock /var/lib/dpkg/lock-frontend /var/lib/dpkg/triggers/Lock; do
    rm -f "$root$f" || return 1
  done
  awk -F: '{ print $1 ":*:19000:0:99999:7:::" }' "$root/etc/passwd" >"$root/etc/shadow" &&
    awk -F: '{ print $1 ":*::" $4 }' "$root/etc/group" >"$root/etc/gshadow" &&
    chmod 0640 "$root/etc/shadow" "$root/etc/gshadow"
}
