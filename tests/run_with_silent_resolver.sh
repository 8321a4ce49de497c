#!/bin/sh
# Runs a command in new network and mount namespaces where the system's
# resolver asks one server, 127.0.0.1:53, once, and waits 30 s for its
# answer. Whatever listens there (the test itself) decides what it answers.
set -e
conf=$(mktemp)
trap 'rm -f "$conf"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$conf"
unshare --net --mount sh -c 'ip link set lo up && mount --bind "$0" /etc/resolv.conf && exec "$@"' "$conf" "$@"
