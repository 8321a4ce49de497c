#!/bin/sh
# Runs a command in a new network namespace, so that nothing a browser test
# does can leave this machine. Inside: loopback, and a veth pair whose one
# end carries two host addresses (10.254.0.1; 10.254.0.2 for tests that need
# a second computer) and the default route (Chromium gathers no ICE
# candidates without one). Both ends stay inside the namespace.
set -e
exec unshare --net sh -c '
  ip link set lo up
  ip link add tl-host type veth peer name tl-peer
  ip addr add 10.254.0.1/24 dev tl-host
  ip addr add 10.254.0.2/24 dev tl-host
  ip link set tl-host up
  ip link set tl-peer up
  ip route add default dev tl-host
  exec "$@"' netns "$@"
