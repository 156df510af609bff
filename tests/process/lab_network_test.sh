#!/usr/bin/env bash
# korvel-sim on a lab network of its own (see lab_network.cmake):
#   lab_network_test.sh KORVEL_SIM PYTHON
# The server side lives in a new network and mount namespace with a private
# /run: its own dbus-daemon, rpcbind and avahi-daemon, on veth k0
# (10.27.0.1); the clients sit in the namespace "peer" at the other end (k1,
# 10.27.0.2). No other interface exists there, so no packet leaves.
set -u
[[ -n ${KORVEL_LAB_TRACE:-} ]] && set -x
sim=$1 python=$2
here=$(cd "$(dirname "$0")" && pwd)

if [[ $EUID -ne 0 ]]; then
  if sudo -n true 2>/dev/null; then
    exec sudo -n "$0" "$@"
  fi
  echo "skipped: needs root or passwordless sudo (namespaces)"
  exit 77
fi
for tool in unshare ip dbus-daemon rpcbind rpcinfo avahi-daemon avahi-browse lxi; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
if [[ ${KORVEL_LAB_NAMESPACE:-} != 1 ]]; then
  if ! unshare -n -m true 2>/dev/null; then
    echo "skipped: cannot make namespaces here"
    exit 77
  fi
  exec env KORVEL_LAB_NAMESPACE=1 unshare -n -m --propagation private "$0" "$@"
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Waits (generously; it ends as soon as the condition holds) for a command.
wait_for() { local i; for ((i = 0; i < 600; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
scratch=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}" "${avahi:-}"; do [[ -n $p ]] && kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# The network: k0 here, k1 in the peer namespace.
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/rpcbind /run/avahi-daemon /run/netns
mount -t tmpfs tmpfs /etc/avahi/services   # no services of the host's own
ip link set lo up
ip netns add peer
ip link add k0 type veth peer name k1 netns peer
ip addr add 10.27.0.1/24 brd + dev k0 && ip link set k0 up
ip -n peer link set lo up
ip -n peer addr add 10.27.0.2/24 brd + dev k1 && ip -n peer link set k1 up
peer() { ip netns exec peer "$@"; }

cat > "$scratch/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=k0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
dbus-daemon --system --fork || { echo "FAIL: dbus-daemon"; exit 1; }
rpcbind -w -f & rpcbind=$!
pids+=("$rpcbind")
avahi-daemon -f "$scratch/avahi.conf" --no-drop-root --no-chroot --no-rlimits >"$scratch/avahi.log" 2>&1 &
avahi=$!
wait_for rpcinfo -p localhost >/dev/null 2>&1 || { echo "FAIL: rpcbind did not start"; exit 1; }
wait_for avahi-daemon -c || { echo "FAIL: avahi-daemon did not start"; cat "$scratch/avahi.log"; exit 1; }

host=$(hostname)
name="korvel-sim on $host (0x378)"
browse() { timeout 20 avahi-browse -rptk -a 2>/dev/null | grep '^=' | grep 'korvel-sim'; }
has() { browse | grep -qF -- "$1"; }
# avahi-browse writes each byte other than a letter, digit, - or _ as \DDD
# (decimal): "a b" is a\032b.
escaped() {
  local i c
  for ((i = 0; i < ${#1}; i++)); do
    c=${1:i:1}
    if [[ $c == [A-Za-z0-9_-] ]]; then printf '%s' "$c"; else printf '\\%03d' "'$c"; fi
  done
}

declare -A pid
start() {  # start NAME ARGS...: korvel-sim with its output in $scratch/NAME
  local n=$1; shift
  "$sim" --no-window "$@" >"$scratch/$n" 2>&1 &
  pids+=($!)
  pid[$n]=$!
  wait_for grep -qs "korvel: listening\|korvel: VXI-11 on" "$scratch/$n" || fail "$n did not start: $(cat "$scratch/$n")"
}

start a --listen 10.27.0.1:0 --http 10.27.0.1:0 --vxi11 10.27.0.1
start loopback --listen 127.0.0.1:0
start quiet --listen 10.27.0.1:0 --no-mdns
vxi11_port=$(sed -n 's/^korvel: VXI-11 on 10.27.0.1:\([0-9]*\).*/\1/p' "$scratch/a")

# rpcbind has the core and abort channels; a broadcast finds the board.
rpcinfo -p localhost | grep -q "395183 *1 *tcp *$vxi11_port" || fail "rpcinfo: $(rpcinfo -p localhost)"
rpcinfo -p localhost | grep -q "395184 *1 *tcp" || fail "the abort channel is not registered"
peer lxi discover 2>&1 | grep -q 'Found "korvel,korvel-sim,0,0.1.0" on address 10.27.0.1' ||
  fail "lxi discover: $(peer lxi discover 2>&1)"
[[ $(peer lxi scpi -a 10.27.0.1 "*IDN?" 2>&1) == "korvel,korvel-sim,0,0.1.0" ]] ||
  fail "lxi scpi: $(peer lxi scpi -a 10.27.0.1 '*IDN?' 2>&1)"
peer "$python" "$here/lab_network_clients.py" visa 10.27.0.1 || fail "PyVISA-py over VXI-11"

# The four services under one name, with the identity in TXT.
e=$(escaped "$name")
for kind in _scpi-raw._tcp _lxi._tcp _http._tcp _vxi-11._tcp; do
  wait_for has "$e;$kind;" || fail "avahi-browse does not show $kind: $(browse)"
done
browse | grep -F -- "$e;" | while IFS= read -r line; do
  for key in txtvers=1 Manufacturer=korvel Model=korvel-sim SerialNumber=0 FirmwareVersion=0.1.0; do
    [[ $line == *"\"$key\""* ]] || echo "FAIL: TXT $key missing: $line"
  done
done | grep FAIL && fail "TXT records"
browse | grep -F -- "$e;_vxi-11._tcp;" | grep -q ";10.27.0.1;$vxi11_port;" || fail "_vxi-11._tcp port"
browse | grep -F -- "$e;_lxi._tcp;" | grep -q '"path=/"' || fail "_lxi._tcp path"
lxi_m=$(peer lxi discover -m 2>&1)
for kind in lxi vxi-11 scpi-raw; do
  grep -qF "$kind service on port" <<<"$lxi_m" || fail "lxi discover -m: no $kind: $lxi_m"
done
grep -qF "Found \"$name\" on address 10.27.0.1" <<<"$lxi_m" || fail "lxi discover -m: $lxi_m"
peer "$python" "$here/lab_network_clients.py" zeroconf 10.27.0.2 "$name" || fail "zeroconf"

# A second instance is advertised under another name; loopback and
# --no-mdns are not advertised.
start b --listen 10.27.0.1:0
wait_for has "$(escaped "$name #2");_scpi-raw._tcp;" || fail "no second name: $(browse)"
[[ $(browse | grep -c '_scpi-raw._tcp;') == 2 ]] || fail "loopback or --no-mdns advertised: $(browse)"

# avahi-daemon restarted: said once, advertised again.
kill "$avahi"; wait "$avahi" 2>/dev/null
wait_for grep -q "avahi-daemon went away" "$scratch/a" || fail "no line when avahi-daemon went: $(cat "$scratch/a")"
avahi-daemon -f "$scratch/avahi.conf" --no-drop-root --no-chroot --no-rlimits >>"$scratch/avahi.log" 2>&1 &
avahi=$!
wait_for has "$e;_vxi-11._tcp;" || fail "not advertised again after the restart: $(browse)"

# SIGTERM: rpcbind's registration and the advertisements go with it.
kill -TERM "${pid[a]}"
wait "${pid[a]}" || fail "korvel-sim ended with status $?: $(tail -n 20 "$scratch/a")"
rpcinfo -p localhost | grep -q "39518[34]" && fail "still registered: $(rpcinfo -p localhost)"
wait_for bash -c "! timeout 20 avahi-browse -rptk -a 2>/dev/null | grep -qF -- '$e;'" || fail "still advertised: $(browse)"

# Without rpcbind: one line, VXI-11 served on, registered once rpcbind is back.
kill "$rpcbind"
wait_for bash -c "! rpcinfo -p localhost >/dev/null 2>&1"
start c --vxi11 127.0.0.1
wait_for grep -q "is not registered with rpcbind" "$scratch/c" || fail "no line without rpcbind: $(cat "$scratch/c")"
rpcbind -w -f & pids+=($!)
wait_for grep -q "registered with rpcbind now" "$scratch/c" || fail "not registered once rpcbind ran: $(cat "$scratch/c")"
rpcinfo -p localhost | grep -q 395183 || fail "rpcinfo after rpcbind came back"
# A second VXI-11 server leaves the first one's live registration alone.
c_port=$(sed -n 's/^korvel: VXI-11 on 127.0.0.1:\([0-9]*\).*/\1/p' "$scratch/c")
start d --vxi11 127.0.0.1
wait_for grep -q "another VXI-11 server (port $c_port) is registered" "$scratch/d" ||
  fail "second VXI-11 server: $(cat "$scratch/d")"
kill -TERM "${pid[d]}"
wait "${pid[d]}"
rpcinfo -p localhost | grep -q "395183 *1 *tcp *$c_port" || fail "the first registration went with the second server"

kill "$avahi" 2>/dev/null
echo "$failures failures"
[[ $failures == 0 ]]
