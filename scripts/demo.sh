#!/usr/bin/env bash
# The agent's start-up on a sample router, in the router sandbox: builds the
# agent if needed (installing missing Debian packages first), then starts
# /opt/kivclient/kivclient -d three times and shows its debug trace and the
# syslog lines it sends:
#   1. first start: the identity file is created, the start-up goes on;
#   2. second start: the identity file is kept as it is;
#   3. a manufacturing file without a device id: exit status 1.
# Nothing reaches the host: the sandbox has its own /opt, /var, /tmp, /dev/log
# and only a loopback network. Needs root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  cd "$top"
  if [ "$(id -u)" != 0 ]; then
    echo "scripts/demo.sh: run as root (installs packages; the router sandbox needs namespaces and mounts)" >&2
    exit 1
  fi
  scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target kivclient >/dev/null
  exec tests/support/sandbox/run-in-sandbox.sh "$top/scripts/demo.sh" --inside "$top/build/agent/kivclient"
fi

agent_build=$2
messages=/tmp/messages

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
title() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
indent() { sed 's/^/    /'; }

# A syslog daemon on /dev/log, as on the router. Its lines read
# "Mmm dd hh:mm:ss daemon.notice kivclient[pid]: message".
busybox syslogd -n -O "$messages" &
for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done

# The sample router: identity directory, factory data, system settings, the
# agent's settings (no platform listens at that address in the sandbox).
mkdir -p /var/data/kivc /opt/kivclient/etc
cp "$agent_build" /opt/kivclient/kivclient
cat > /var/data/kivc/settings.kivcManuf <<'EOF'
MOD_KIVCLIENT_COUNTRYCODE=
MOD_KIVCLIENT_SITECODE=LDN
MOD_KIVCLIENT_DEVID=R42-000117
MOD_KIVCLIENT_MACADDRESS=00:0A:14:85:3F:11
EOF
cat > /opt/kivclient/etc/settings.kivcsys <<'EOF'
MOD_KIVCLIENT_HOMEDIR=/opt/kivclient
MOD_KIVCLIENT_CONFIGDIR=/etc/settings
MOD_KIVCLIENT_SUSCRIPTDIR=/etc/scripts
MOD_KIVCLIENT_SUSCRIPTPREFIX=S
MOD_KIVCLIENT_SUSCRIPTSYMLINKDIR=/etc/rc.d
MOD_KIVCLIENT_SUSCRIPTSYMLINKPREFIX=K
MOD_KIVCLIENT_DEFAULTCOUNTRYCODE=GB
MOD_KIVCLIENT_DEFAULTSITECODE=HQ
EOF
cat > /opt/kivclient/etc/settings <<'EOF'
MOD_KIVCLIENT_HOSTEDPLATFORM=127.0.0.1
MOD_KIVCLIENT_PORT=8080
MOD_KIVCLIENT_CONNTYPE=http
MOD_KIVCLIENT_TIMEOUT=10
MOD_KIVCLIENT_SLEEP=60
EOF
printf '7.1.2\n' > /etc/version
printf '1.0.0\n' > /opt/kivclient/etc/version

title "The sample router"
for f in /var/data/kivc/settings.kivcManuf /opt/kivclient/etc/settings.kivcsys /opt/kivclient/etc/settings; do
  echo "  $f"
  indent < "$f"
done

# Starts the agent with -d and lets it run until its last start-up syslog
# line, or until it ends. After that line it goes on to the platform, which
# this demo does not run, and would keep retrying: the demo stops it.
start_agent() {
  /opt/kivclient/kivclient -d > /tmp/trace 2>&1 &
  local pid=$! status=0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    if grep -q "kivclient\[$pid\]: Platform: " "$messages"; then
      kill "$pid"
      break
    fi
    sleep 0.1
  done
  wait "$pid" || status=$?
  echo "  debug trace (standard output):"
  indent < /tmp/trace
  echo "  syslog:"
  grep "kivclient\[$pid\]" "$messages" | indent
  case $status in
    0|143) echo "  => start-up complete; stopped by the demo (no platform answers in this demo)" ;;
    *) echo "  => exit status $status" ;;
  esac
}

title "1. First start: no identity file yet"
start_agent
echo "  created /var/data/kivc/settings.kivcGen:"
indent < /var/data/kivc/settings.kivcGen

title "2. Second start: the identity file is kept"
cp /var/data/kivc/settings.kivcGen /tmp/identity.before
start_agent
if cmp -s /tmp/identity.before /var/data/kivc/settings.kivcGen; then
  echo "  settings.kivcGen unchanged"
else
  echo "  settings.kivcGen CHANGED"
fi

title "3. A manufacturing file without a device id"
sed -i '/DEVID/d' /var/data/kivc/settings.kivcManuf
start_agent
