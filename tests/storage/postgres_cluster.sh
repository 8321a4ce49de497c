#!/usr/bin/env bash
# A throw-away PostgreSQL server for tests, everything under DIR, listening
# on loopback only. The server runs as an unprivileged user (it refuses
# root): the caller's own, or nobody's when the caller is root.
#   postgres_cluster.sh start DIR     DIR/db.env then holds TESSALINE_TEST_DB (a URL)
#   postgres_cluster.sh restart DIR   stops and starts it again, same port and data
#   postgres_cluster.sh stop DIR      stops it and removes DIR
set -euo pipefail
action=${1:-}
dir=${2:-}
if [[ -z "$action" || -z "$dir" ]]; then
  echo "usage: postgres_cluster.sh start|restart|stop DIR" >&2
  exit 2
fi
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_owner=()
[[ $(id -u) -eq 0 ]] && as_owner=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

pg_ctl() { "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" "$@" >/dev/null; }

free_port() {
  local port=$1
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

case "$action" in
  stop)
    [[ -d "$dir/data" ]] && pg_ctl stop -m fast -w || true
    rm -rf "$dir"
    exit 0
    ;;
  restart)
    pg_ctl restart -m fast -w -t 60
    exit 0
    ;;
  start) if [[ -d "$dir" ]]; then "$0" stop "$dir"; fi ;;
  *) echo "postgres_cluster: unknown action '$action'" >&2; exit 2 ;;
esac

mkdir -p "$dir"
dir=$(realpath "$dir")
chmod 755 "$dir"
mkdir -p "$dir/data" "$dir/socket"
[[ ${#as_owner[@]} -gt 0 ]] && chown nobody:nogroup "$dir" "$dir/data" "$dir/socket"
port=$(free_port 25432)  # below the ephemeral range: no client's connection holds it
"${as_owner[@]}" "$bin/initdb" -D "$dir/data" -U tessaline --auth=trust --no-sync -E UTF8 >"$dir/initdb.log"
cat >>"$dir/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir/socket'
fsync = off
max_connections = 200
EOF
pg_ctl start -w -t 60
echo "TESSALINE_TEST_DB=postgresql://tessaline@127.0.0.1:$port/postgres" >"$dir/db.env"
echo "postgres_cluster: PostgreSQL on 127.0.0.1:$port ($dir/db.env)"
