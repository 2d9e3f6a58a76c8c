# UDP and D-Bus helpers for the network-namespace tests; source lib.sh first.
# The demo uses bus_start alone.

REJECTING_QUIC="🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback"
UDP_TABLE=vosk_filter_udp

# udp_serve PORT...: UDP echo server in the server namespace, IPv4 and IPv6.
udp_serve() {
  ip netns exec "$SERVER_NS" python3 "$E2E_DIR/udp_peer.py" serve "$@" >"$E2E_TMP/udp.log" 2>&1 &
  E2E_PIDS="$E2E_PIDS $!"
  e2e_wait_for 10 "the UDP server" grep -q serving "$E2E_TMP/udp.log"
}

# udp_probe ADDRESS PORT [COUNT]: one connected client socket; prints a word per datagram.
udp_probe() { in_client python3 "$E2E_DIR/udp_peer.py" probe "$@"; }

# expect_udp PATTERN ADDRESS PORT: the probe's words must match the regular expression.
expect_udp() {
  local pattern=$1 words
  shift
  words=$(udp_probe "$@")
  [[ $words =~ ^$pattern$ ]] || e2e_fail "UDP to $1 port $2: expected /$pattern/, got \"$words\""
}
UDP_PASSES="reply reply reply"
UDP_REFUSED="refused( (refused|denied)){2}"  # the first at once, later ones without asking again

# bus_start DIR: a private message bus at DIR/bus that any user may join (the
# filter runs unprivileged), and a monitor writing its signals to
# DIR/monitor.log, as a desktop companion would see them. Sets BUS_PIDS (the
# bus and the monitor) for the caller to stop; fails when either is not up.
bus_start() {
  local dir=$1
  cat >"$dir/bus.conf" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
XML
  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >"$dir/bus.log" 2>&1 &
  BUS_PIDS=$!
  for _ in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.1; done
  stdbuf -oL dbus-monitor --address "unix:path=$dir/bus" "type='signal',interface='com.brelvant.vosk'" \
    >"$dir/monitor.log" 2>&1 &
  BUS_PIDS="$BUS_PIDS $!"
  for _ in $(seq 100); do grep -q NameAcquired "$dir/monitor.log" && break; sleep 0.1; done
  grep -q NameAcquired "$dir/monitor.log"
}

signal_count() { grep -c "member=siteBlocked" "$1/monitor.log" || true; }
