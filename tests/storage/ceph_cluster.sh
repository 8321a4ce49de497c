#!/usr/bin/env bash
# A throw-away single-node Ceph cluster with an S3 gateway, for tests: one
# monitor, one in-memory OSD and radosgw on loopback, everything under DIR
# (nothing in /etc/ceph or /var/lib/ceph).
#   ceph_cluster.sh start DIR   starts it; DIR/s3.env then holds
#                               S3_ENDPOINT, AWS_ACCESS_KEY_ID,
#                               AWS_SECRET_ACCESS_KEY, AWS_REGION
#   ceph_cluster.sh stop DIR    stops the daemons it started and removes DIR
#   ceph_cluster.sh gateway-stop DIR / gateway-start DIR
#                               stops the S3 gateway alone / starts it again
#                               (an outage of the store, the data kept)
set -euo pipefail
action=${1:-}
dir=${2:-}
if [[ -z "$action" || -z "$dir" ]]; then
  echo "usage: ceph_cluster.sh start|stop|gateway-stop|gateway-start DIR" >&2
  exit 2
fi

# Ports below the ephemeral range (32768-60999 here): one in it may be taken
# by a client's connection at the moment the daemon binds it, though nothing listens.
free_port() {  # the first port from $1 on that nothing listens on
  local port=$1
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

wait_for() {  # seconds, what, command...
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS > deadline)); then
      echo "ceph_cluster: $what did not come up in ${seconds} s; logs in $dir/log, the last lines:" >&2
      tail -n 15 "$dir"/log/*.out "$dir"/log/client.rgw.a.log >&2 2>/dev/null || true
      exit 1
    fi
    sleep 0.2
  done
}

stop_daemon() {
  local pidfile=$dir/$1.pid
  [[ -f "$pidfile" ]] || return 0
  local pid
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || return 0
  # The gateway's shutdown takes about 5 s (its threads sleep that long); one
  # killed instead leaves watches that stall the next gateway's writes ~30 s.
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}

stop_cluster() {
  # Gateway, then the OSD, then the monitor: the other order makes the OSD wait.
  stop_daemon rgw
  stop_daemon osd
  stop_daemon mon
  rm -rf "$dir"
}

start_gateway() {
  radosgw -c "$dir/ceph.conf" -n client.rgw.a -f >>"$dir/log/rgw.out" 2>&1 &
  echo $! >"$dir/rgw.pid"
  local endpoint
  endpoint=$(sed -n 's/^S3_ENDPOINT=//p' "$dir/s3.env" 2>/dev/null || true)
  wait_for 60 "the S3 gateway" curl -sf -o /dev/null "${endpoint:-http://127.0.0.1:$rgw_port}/"
}

case "$action" in
  stop) stop_cluster; exit 0 ;;
  gateway-stop) stop_daemon rgw; exit 0 ;;
  gateway-start)
    [[ -f "$dir/ceph.conf" ]] || { echo "ceph_cluster: no cluster in $dir (start one first)" >&2; exit 1; }
    start_gateway
    exit 0
    ;;
  start) if [[ -d "$dir" ]]; then stop_cluster; fi ;;  # what an interrupted run left
  *) echo "ceph_cluster: unknown action '$action'" >&2; exit 2 ;;
esac

mkdir -p "$dir"/{log,run,mon,osd,rgw,crash}
# A start that fails stops the daemons it started (the logs stay for a look).
trap 'if (($? != 0)); then stop_daemon rgw; stop_daemon osd; stop_daemon mon; fi' EXIT
dir=$(realpath "$dir")
fsid=$(cat /proc/sys/kernel/random/uuid)
mon_port=$(free_port 23300)
rgw_port=$(free_port 23380)
conf=$dir/ceph.conf
cat >"$conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
public addr = 127.0.0.1
cluster addr = 127.0.0.1
ms bind msgr1 = false
ms bind msgr2 = true
ms bind ipv6 = false
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
run dir = $dir/run
admin socket = $dir/run/\$name.asok
pid file = $dir/run/\$name.pid
log file = $dir/log/\$name.log
crash dir = $dir/crash
keyring = $dir/\$name.keyring
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
[mon]
mon data = $dir/mon/\$name
mon cluster log file = $dir/log/cluster.log
mon data avail crit = 0
paxos propose interval = 0.01
paxos min wait = 0.01
[osd]
osd data = $dir/osd/\$name
osd journal = $dir/osd/\$name/journal
osd objectstore = memstore
memstore device bytes = 1073741824
[client.rgw.a]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $dir/rgw
EOF
ceph=(ceph -c "$conf" --connect-timeout 10)

# Keys: the monitor's, and an administrator's the monitor knows.
ceph-authtool --create-keyring "$dir/mon.keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
ceph-authtool --create-keyring "$dir/client.admin.keyring" --gen-key -n client.admin \
  --cap mon 'allow *' --cap osd 'allow *' --cap mgr 'allow *' --cap mds 'allow *' >/dev/null
ceph-authtool "$dir/mon.keyring" --import-keyring "$dir/client.admin.keyring" >/dev/null

monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" "$dir/monmap" >/dev/null
ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$dir/mon.keyring" 2>>"$dir/log/setup.log"
ceph-mon -c "$conf" -i a -f >>"$dir/log/mon.out" 2>&1 &
echo $! >"$dir/mon.pid"
wait_for 30 "the monitor" "${ceph[@]}" mon stat

osd_uuid=$(cat /proc/sys/kernel/random/uuid)
osd_id=$("${ceph[@]}" osd new "$osd_uuid")
mkdir -p "$dir/osd/osd.$osd_id"
ceph-osd -c "$conf" -i "$osd_id" --mkfs --mkkey --no-mon-config --osd-uuid "$osd_uuid" 2>>"$dir/log/setup.log"
"${ceph[@]}" auth add "osd.$osd_id" osd 'allow *' mon 'allow profile osd' mgr 'allow profile osd' \
  -i "$dir/osd.$osd_id.keyring" >/dev/null 2>&1
ceph-osd -c "$conf" -i "$osd_id" -f >>"$dir/log/osd.out" 2>&1 &
echo $! >"$dir/osd.pid"
osd_up() { "${ceph[@]}" osd dump | grep -q "^osd.$osd_id up"; }
wait_for 60 "the OSD" osd_up

"${ceph[@]}" auth get-or-create client.rgw.a mon 'allow rw' osd 'allow rwx' mgr 'allow rw' \
  -o "$dir/client.rgw.a.keyring" >/dev/null
start_gateway

random_hex() { od -An -tx1 -N"$1" /dev/urandom | tr -d ' \n'; }
access=TESTS$(random_hex 8)
secret=$(random_hex 20)
radosgw-admin -c "$conf" user create --uid=tests --display-name="Tests" --access-key="$access" \
  --secret-key="$secret" >/dev/null 2>>"$dir/log/setup.log"
cat >"$dir/s3.env" <<EOF
S3_ENDPOINT=http://127.0.0.1:$rgw_port
AWS_ACCESS_KEY_ID=$access
AWS_SECRET_ACCESS_KEY=$secret
AWS_REGION=us-east-1
EOF
echo "ceph_cluster: S3 on http://127.0.0.1:$rgw_port ($dir/s3.env)"
