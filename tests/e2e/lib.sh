# Shared by the network-namespace tests: source it, then call e2e_setup.
#
#   client namespace (the filter runs here)        server namespace
#   198.18.10.1  2001:db8:10::1  ==veth==  198.18.10.2  2001:db8:10::2
#   $CLIENT_IF (and its fe80:: address)     $SERVER_IF (and its fe80:: address)
#                                           peer.py serve on :80 and :443 (any name)
#
# Every test gets its own namespaces, removed on exit (also on failure).
set -euo pipefail

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SERVER4=198.18.10.2
SERVER6=2001:db8:10::2
FILTER_PORT=15443
FILTER_MARK=0x20000000
TABLE=vosk_filter

e2e_fail() {
  echo "FAIL: $*" >&2
  if [ -n "${FILTER_LOG:-}" ] && [ -f "$FILTER_LOG" ]; then
    echo "--- filter log (last 30 lines)" >&2
    tail -n 30 "$FILTER_LOG" >&2
  fi
  exit 1
}

e2e_pass() { echo "ok: $*"; }

e2e_cleanup() {
  local pid
  for pid in ${E2E_PIDS:-}; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in ${E2E_PIDS:-}; do
    wait "$pid" 2>/dev/null || true
  done
  ip netns del "$CLIENT_NS" 2>/dev/null || true
  ip netns del "$SERVER_NS" 2>/dev/null || true
  [ -z "${LAN_NS:-}" ] || ip netns del "$LAN_NS" 2>/dev/null || true
  [ -z "${ORIGIN_NS:-}" ] || ip netns del "$ORIGIN_NS" 2>/dev/null || true
  rm -rf "$E2E_TMP"
}

# e2e_setup NAME: namespaces, addresses, certificate and the server.
e2e_setup() {
  local tag="vk${1:0:6}$$"
  CLIENT_NS="${tag}c"
  SERVER_NS="${tag}s"
  E2E_TMP=$(mktemp -d "/tmp/vosk-e2e-$1.XXXXXX")
  # The filter reads and writes its configuration as an unprivileged user.
  chmod 755 "$E2E_TMP"
  chown nobody "$E2E_TMP"
  E2E_PIDS=""
  trap e2e_cleanup EXIT
  [ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }

  ip netns add "$CLIENT_NS"
  ip netns add "$SERVER_NS"
  CLIENT_IF="${tag}a"
  SERVER_IF="${tag}b"
  ip link add "$CLIENT_IF" netns "$CLIENT_NS" type veth peer name "$SERVER_IF" netns "$SERVER_NS"
  ip -n "$CLIENT_NS" link set lo up
  ip -n "$SERVER_NS" link set lo up
  ip -n "$CLIENT_NS" addr add 198.18.10.1/24 dev "$CLIENT_IF"
  ip -n "$SERVER_NS" addr add "$SERVER4/24" dev "$SERVER_IF"
  ip -n "$CLIENT_NS" addr add 2001:db8:10::1/64 dev "$CLIENT_IF" nodad
  ip -n "$SERVER_NS" addr add "$SERVER6/64" dev "$SERVER_IF" nodad
  ip -n "$CLIENT_NS" link set "$CLIENT_IF" up
  ip -n "$SERVER_NS" link set "$SERVER_IF" up
  # The filter's refusals are ICMP errors, which the kernel limits per peer
  # (a burst of 6, then one a second): tests count every one of them.
  ip netns exec "$CLIENT_NS" sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0

  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=vosk-e2e -keyout "$E2E_TMP/key.pem" -out "$E2E_TMP/cert.pem" 2>/dev/null
  # Debian's python3: HTTP/2 is served with its python3-h2.
  ip netns exec "$SERVER_NS" /usr/bin/python3 "$E2E_DIR/peer.py" serve \
    --cert "$E2E_TMP/cert.pem" --key "$E2E_TMP/key.pem" >"$E2E_TMP/server.log" 2>&1 &
  E2E_PIDS="$E2E_PIDS $!"
  e2e_wait_for 10 "server" grep -q serving "$E2E_TMP/server.log"
}

# e2e_setup_lan: after e2e_setup, the client namespace becomes a router
# (forwarding on) for a LAN namespace behind its interface $GATEWAY_IF:
#   LAN 198.18.30.2 2001:db8:30::2 ==veth== 198.18.30.1 2001:db8:30::1 (client namespace)
# and the server routes the LAN's addresses back through it.
e2e_setup_lan() {
  LAN_NS="${CLIENT_NS%c}l"
  GATEWAY_IF=lan0
  LAN_GATEWAY4=198.18.30.1
  LAN_GATEWAY6=2001:db8:30::1
  ip netns add "$LAN_NS"
  ip link add "$GATEWAY_IF" netns "$CLIENT_NS" type veth peer name eth0 netns "$LAN_NS"
  ip -n "$LAN_NS" link set lo up
  ip -n "$CLIENT_NS" addr add "$LAN_GATEWAY4/24" dev "$GATEWAY_IF"
  ip -n "$CLIENT_NS" addr add "$LAN_GATEWAY6/64" dev "$GATEWAY_IF" nodad
  ip -n "$LAN_NS" addr add 198.18.30.2/24 dev eth0
  ip -n "$LAN_NS" addr add 2001:db8:30::2/64 dev eth0 nodad
  ip -n "$CLIENT_NS" link set "$GATEWAY_IF" up
  ip -n "$LAN_NS" link set eth0 up
  ip -n "$LAN_NS" route add default via "$LAN_GATEWAY4"
  ip -n "$LAN_NS" -6 route add default via "$LAN_GATEWAY6"
  ip -n "$SERVER_NS" route add 198.18.30.0/24 via 198.18.10.1
  ip -n "$SERVER_NS" -6 route add 2001:db8:30::/64 via 2001:db8:10::1
  ip netns exec "$CLIENT_NS" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
}

# e2e_wait_for SECONDS WHAT COMMAND...: polls COMMAND every 0.1 s.
e2e_wait_for() {
  local seconds=$1 what=$2
  shift 2
  local tries=$((seconds * 10))
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || e2e_fail "timed out waiting for $what"
    sleep 0.1
  done
}

# e2e_config FILE BLOCKING DOMAIN...: a configuration blocking one site with these domains.
e2e_config() {
  local file=$1 blocking=$2
  shift 2
  local domains
  domains=$(printf '"%s",' "$@")
  cat >"$file" <<JSON
{
  "blockingEnabled": $blocking,
  "sitesData": [
    {"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", "name": "Blocked", "domains": [${domains%,}]}
  ]
}
JSON
}

# e2e_strict_config BLOCKING STRICT [DOMAIN...]: $E2E_TMP/config.json blocking
# blocked.test and these domains, replaced whole.
e2e_strict_config() {
  e2e_config "$E2E_TMP/next.json" "$1" blocked.test "${@:3}"
  sed -i "1a\\  \"strictMode\": $2," "$E2E_TMP/next.json"
  mv "$E2E_TMP/next.json" "$E2E_TMP/config.json"
}

# With E2E_ENGINE set, every configuration the filter reads names that engine.
e2e_engine_config() {  # FILE (none: a filter this file did not start)
  [ -n "${E2E_ENGINE:-}" ] && [ -n "$1" ] || return 0
  grep -q '"engine"' "$1" || sed -i "0,/{/s//{\"engine\": \"$E2E_ENGINE\", /" "$1"
}

# e2e_start_filter DAEMON CONFIG [ARGS...]: starts the filter in the client
# namespace and waits for its table.
e2e_start_filter() {
  local daemon=$1 config=$2
  shift 2
  E2E_CONFIG=$config
  e2e_engine_config "$config"
  FILTER_LOG="$E2E_TMP/filter.log"
  CONTROL_SOCKET="$E2E_TMP/control/control.sock"
  chown nobody:nogroup "$config"  # the filter writes it through its control socket, keeping its owner
  ip netns exec "$CLIENT_NS" "$daemon" --config "$config" --port "$FILTER_PORT" --mark "$FILTER_MARK" \
    --pid-file "$E2E_TMP/filter.pid" --state-dir "$E2E_TMP/state" --control-socket "$CONTROL_SOCKET" "$@" \
    2>>"$FILTER_LOG" &
  FILTER_PID=$!
  E2E_PIDS="$E2E_PIDS $FILTER_PID"
  e2e_wait_for 10 "the filter's table" ip netns exec "$CLIENT_NS" nft list table inet "$TABLE"
  e2e_wait_for 10 "the filter's log" grep -q "setTunnelNetworkSettings succeeded" "$FILTER_LOG"
}

log_count() { grep -cF -- "$1" "$FILTER_LOG" || true; }
applied_more_than() { [ "$(log_count "setTunnelNetworkSettings succeeded")" -gt "$1" ]; }

# e2e_reload: SIGHUP, then waits for the filter to apply its file again.
e2e_reload() {
  local before
  before=$(log_count "setTunnelNetworkSettings succeeded")
  e2e_engine_config "${E2E_CONFIG:-}"
  kill -HUP "$FILTER_PID"
  e2e_wait_for 10 "the reload" applied_more_than "$before"
}

# e2e_wait_log SECONDS TEXT: waits for TEXT in the filter's log.
e2e_wait_log() {
  e2e_wait_for "$1" "\"$2\" in the filter's log" grep -qF -- "$2" "$FILTER_LOG"
}

# Where fetch and the UDP probe run: the filter's namespace, or APP_NS when a
# test sets it (the LAN behind the gateway).
in_client() { ip netns exec "${APP_NS:-$CLIENT_NS}" "$@"; }

# fetch SCHEME NAME ADDRESS: prints the body, or nothing when the request
# failed. SCHEME h2c: HTTP/2 with prior knowledge on port 80.
fetch() {
  local scheme=$1 name=$2 address=$3 port=80 options=()
  [ "$scheme" = https ] && port=443
  [ "$scheme" = h2c ] && scheme=http options=(--http2-prior-knowledge)
  local target=$address
  [[ $address == *:* ]] && target="[$address]"
  in_client curl -sk "${options[@]}" --max-time 5 --connect-to "$name:$port:$target:$port" "$scheme://$name/" \
    2>/dev/null || true
}

expect_allowed() {  # SCHEME NAME ADDRESS
  local body
  body=$(fetch "$@")
  [[ $body == "hello "* ]] || e2e_fail "$1://$2 via $3 should pass, got \"$body\""
}

expect_blocked() {  # SCHEME NAME ADDRESS
  local body
  body=$(fetch "$@")
  [ -z "$body" ] || e2e_fail "$1://$2 via $3 should be blocked, got \"$body\""
}
