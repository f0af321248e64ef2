#!/usr/bin/env bash
# The README's main job: the agent on a sample router against the platform
# simulator, both inside the router sandbox, with a readable timeline.
#
#   scripts/demo.sh
#
# Builds what is missing (installing Debian packages first), starts kivsim
# (the platform) and /opt/kivclient/kivclient (the agent) in the sandbox,
# lets the router enrol, then has the platform send one command of each kind
# and prints, as it happens, what the agent did (its syslog and debug lines),
# what the router's tools were asked to do, and what the platform received.
# Ends by itself with a summary after about a minute; Ctrl-C stops everything.
# Nothing reaches the host: the sandbox has its own /opt, /var, /etc, /tmp,
# /dev/log and only a loopback network. Needs root. Safe to run again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "demo.sh: needs root (the router sandbox uses namespaces and mounts)" >&2
    exit 1
  fi
  cd "$top"
  echo "Preparing: Debian packages and build (only what is missing) ..."
  scripts/install-deps.sh
  mkdir -p build
  if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
         cmake --build build -j"$(nproc)" --target kivclient kivsim kivtestshim; } > build/demo-build.log 2>&1; then
    tail -n 40 build/demo-build.log
    echo "demo.sh: the build failed (whole log: build/demo-build.log)" >&2
    exit 1
  fi
  exec tests/support/sandbox/run-in-sandbox.sh "$top/scripts/demo.sh" --inside "$top/build"
fi

# ---------------------------------------------------------------------------
# Inside the sandbox.

build=$2
work=/tmp/demo                      # the demo's own files (the sandbox's /tmp)
sim_data=$work/platform             # the simulator's data directory
events=$work/router-events.log      # calls of the router's tools, sync() and reboot()
device=GB-LDN-R42-000117            # country code from the default, site and id from the factory file
admin=http://127.0.0.1:8080/admin

if [ -t 1 ]; then
  bold=$'\033[1m' dim=$'\033[2m' red=$'\033[31m' green=$'\033[32m' yellow=$'\033[33m'
  magenta=$'\033[35m' cyan=$'\033[36m' plain=$'\033[0m'
else
  bold='' dim='' red='' green='' yellow='' magenta='' cyan='' plain=''
fi

# One timeline line: time, source, text.
say() { printf '%(%H:%M:%S)T  %s%-8s%s  %s%s%s\n' -1 "$2" "$1" "$plain" "$3" "$4" "$plain"; }
note() { say demo "$bold" "$bold" "$*"; }
step() { printf '\n'; note "== $*"; }

# ---- the timeline's sources ----

# kivsim's line per request: "time  device  endpoint  -> answer"; the time goes.
from_platform() {
  local line
  while IFS= read -r line; do
    case $line in
      kivsim:*) say platform "$cyan" "" "${line#kivsim: }" ;;
      *) say platform "$cyan" "" "${line#*  }" ;;
    esac
  done
}

# The agent's debug trace ("ctime : message"), from its first login on. The
# request and answer lines are left out: the platform's lines show them.
from_agent() {
  local line started=no re='^(.*)[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]{8} [0-9]{4} : (.*)$'
  while IFS= read -r line; do
    [[ $line =~ $re ]] && line=${BASH_REMATCH[2]}
    [ "$line" = "Attempting to login" ] && started=yes
    [ $started = yes ] || continue
    case $line in
      ''|Request:*|'Response : '*|'Upload URL: '*|*'RESPONSE FROM COMMAND COMPLETED'|'"ResponseMessage"'*|'timeout = '*) continue ;;
    esac
    say agent "$dim" "$dim" "$line"
  done
}

# busybox syslogd: "Mmm dd hh:mm:ss host facility.level tag[pid]: message".
from_syslog() {
  local mon day time host prio rest
  while read -r mon day time host prio rest; do
    case $prio in
      syslog.*) continue ;;
      *.err) say syslog "$red" "$red" "$rest" ;;
      *) say syslog "$yellow" "" "$rest" ;;
    esac
  done
}

# The router's tools as the sample router's fakes record them, and the
# agent's sync() and reboot(), which the demo intercepts (see below).
from_router() {
  local line
  while IFS= read -r line; do
    case $line in
      sleep*) continue ;;  # NoActivity's pause: the agent's own line shows it
      sync) say router "$magenta" "" "sync(): file systems flushed" ;;
      reboot*) say router "$magenta" "$bold" "reboot() called: a real router restarts now (the demo intercepts it, the agent goes on)" ;;
      *) say router "$magenta" "" "$line" ;;
    esac
  done
}

pids=()
follow() {  # follow FILE FORMATTER
  : >> "$1"
  tail -n +1 -s 0.1 -F "$1" 2>/dev/null > >($2) &
  pids+=($!)
}

agent_pid='' sim_pid='' syslogd_pid=''
stop() {  # stop PID: SIGTERM and wait for the end
  if [ -n "$1" ]; then kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; fi
}
finish() {
  stop "$agent_pid"
  stop "$sim_pid"
  agent_pid='' sim_pid=''
  sleep 0.3
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  stop "$syslogd_pid"
  pids=() syslogd_pid=''
}
interrupted() {
  printf '\n'
  note "Interrupted: stopping the agent and the platform."
  finish
  exit 130
}
trap interrupted INT TERM
trap finish EXIT

# ---- the platform's admin interface ----

api() { curl -sS --max-time 5 "$@"; }
device_field() {  # the number after "NAME": in the device's record
  api "$admin/devices/$device" 2>/dev/null | grep -o "\"$1\":[0-9]*" | head -1 | cut -d: -f2
}
reports() { api "$admin/devices/$device/reports" 2>/dev/null | grep -o '"command":' | wc -l; }
wait_until() {  # wait_until SECONDS COMMAND...: true once COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}
checked_in() { [ "$(device_field checkins)" -ge "$1" ] 2>/dev/null; }
reported() { [ "$(reports)" -ge "$1" ]; }

# Queues one command and waits for its completion report and for the
# agent's next check-in (some commands go on working after their report).
expected=0
send() {  # send TITLE JSON
  local before
  step "$1"
  expected=$((expected + 1))
  before=$(device_field checkins)
  api -d "$2" "$admin/devices/$device/commands" > /dev/null
  # Long enough to see the agent through a failure and its 60 s pause.
  if ! wait_until 90 reported $expected; then
    note "${red}no report within 90 s; going on"
  fi
  # The check-in that fetched the command, then the one after it.
  wait_until 20 checked_in $((before + 2)) || true
  sleep 0.5
}
upload() {  # upload N: the platform's copy of the device's upload N, on one line
  api "$admin/devices/$device/uploads/$1" | head -n 3 | tr '\n' ' '
}

# ---------------------------------------------------------------------------
mkdir -p "$work" "$sim_data/files"

cat <<EOF
${bold}kivclient demo: the agent on a sample router against the platform simulator${plain}

The timeline shows, as it happens:
  ${cyan}platform${plain}  what the platform simulator (kivsim) received and answered, per device request
  ${dim}agent${plain}     the agent's debug trace (kivclient -d), without the raw requests
  ${yellow}syslog${plain}    what the agent wrote to the router's syslog (${red}errors in red${plain})
  ${magenta}router${plain}    what the router's own tools were asked to do
  ${bold}demo${plain}      what the demo does next

Everything runs in the router sandbox: a private /opt, /var, /etc, /tmp and a
loopback-only network. The agent's reboot() and sync() are intercepted so that
the sandbox survives the Reboot command; its pauses are real.
EOF

# ---- the sample router ----

busybox syslogd -n -O /var/log/messages &
syslogd_pid=$!
for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done

mkdir -p /var/data/kivc /opt/kivclient/etc /etc/scripts /var/www
cp "$build/agent/kivclient" /opt/kivclient/kivclient
cat > /var/data/kivc/settings.kivcManuf <<'EOF'
MOD_KIVCLIENT_COUNTRYCODE=
MOD_KIVCLIENT_SITECODE=LDN
MOD_KIVCLIENT_DEVID=R42-000117
MOD_KIVCLIENT_MACADDRESS=00:0A:14:85:3F:11
EOF
cat > /opt/kivclient/etc/settings.kivcsys <<'EOF'
MOD_KIVCLIENT_HOMEDIR=/opt/kivclient
MOD_KIVCLIENT_CONFIGDIR=/etc/settings
MOD_KIVCLIENT_SUSCRIPTDIR=/etc/scripts/
MOD_KIVCLIENT_SUSCRIPTPREFIX=S
MOD_KIVCLIENT_SUSCRIPTSYMLINKDIR=/etc/rc.d
MOD_KIVCLIENT_SUSCRIPTSYMLINKPREFIX=K
MOD_KIVCLIENT_DEFAULTCOUNTRYCODE=GB
MOD_KIVCLIENT_DEFAULTSITECODE=HQ
EOF
# HTTPS to the simulator's self-signed certificate; NoActivity waits 2 s.
cat > /opt/kivclient/etc/settings <<'EOF'
MOD_KIVCLIENT_HOSTEDPLATFORM=127.0.0.1
MOD_KIVCLIENT_PORT=8443
MOD_KIVCLIENT_CONNTYPE=https
MOD_KIVCLIENT_TIMEOUT=10
MOD_KIVCLIENT_SLEEP=2
EOF
# The one program the platform may run: key "uname".
echo 'MOD_KIVCLIENT_UNAME=/bin/uname' > /opt/kivclient/etc/whitelist
printf '7.1.2\n' > /etc/version
printf '1.0.0\n' > /opt/kivclient/etc/version

# The router's tools, as small fakes that record their calls.
fake() {  # fake PATH BODY
  printf '#!/bin/sh\necho "$0 $*" >> %s\n%s\n' "$events" "$2" > "$1"
  chmod 755 "$1"
}
fake /usr/bin/backup 'printf "lan.ip=192.168.1.1\nlan.mask=255.255.255.0\nwan.apn=internet\n"'
fake /usr/sbin/restore 'echo "restore: $(wc -l < "$1") settings applied from $1"'
fake /etc/scripts/backrt 'exit 0'
fake /etc/scripts/eth 'exit 0'
# BusyBox passwd and an account for ChangePassword.
rm -f /usr/bin/passwd
ln -s "$(command -v busybox)" /usr/bin/passwd
echo 'admin:x:1000:1000:router admin:/home/admin:/bin/sh' >> /etc/passwd
echo 'admin:!:19000:0:99999:7:::' >> /etc/shadow

# What the platform offers for download: a configuration, a user-module
# package (module "hello_mod") and an agent package with its re-install script.
printf 'lan.ip=10.0.0.1\nlan.mask=255.255.255.0\n' > "$sim_data/files/router-config.cfg"
pkg=$work/packages
mkdir -p "$pkg/app/hello_mod/etc" "$pkg/app/hello_mod/www" "$pkg/agent/kivclient/etc"
for s in init install uninstall; do
  printf '#!/bin/sh\necho "/opt/hello_mod/etc/%s $*" >> %s\n' "$s" "$events" > "$pkg/app/hello_mod/etc/$s"
done
echo 'GREETING=hello' > "$pkg/app/hello_mod/etc/settings"
echo '<h1>hello</h1>' > "$pkg/app/hello_mod/www/index.html"
chmod 755 "$pkg"/app/hello_mod/etc/*
tar -czf "$sim_data/files/helloapp.tgz" -C "$pkg/app" hello_mod
cat > "$pkg/agent/kivclient/etc/re-install" <<'EOF'
#!/bin/sh
# Demo package: a real one stops the agent, replaces /opt/kivclient and starts it again.
logger -t re-install "agent package 1.0.1 unpacked; a real re-install would now replace /opt/kivclient and restart it"
rm -rf /tmp/module/kivclient
EOF
chmod 755 "$pkg/agent/kivclient/etc/re-install"
tar -czf "$sim_data/files/kivclient-1.0.1.tgz" -C "$pkg/agent" kivclient

follow /var/log/messages from_syslog
follow "$events" from_router

# ---- 1. the platform ----

step "1. The platform simulator starts (HTTP :8080, HTTPS :8443, admin at /admin/)"
"$build/tools/simulator/kivsim" --fresh --data-dir "$sim_data" > "$work/platform.out" 2>&1 &
sim_pid=$!
follow "$work/platform.out" from_platform
if ! wait_until 10 api -o /dev/null "$admin/" 2>/dev/null; then
  note "${red}the simulator did not start:"; cat "$work/platform.out"; exit 1
fi

# ---- 2. enrolment ----

step "2. The agent starts on a router the platform has never seen"
note "   login with an empty uuid -> UnknownDevice -> register -> a UUID -> login -> a token;"
note "   then check-ins: \"NoActivity\" means: wait MOD_KIVCLIENT_SLEEP (2 s) and check in again"
LD_PRELOAD="$build/tests/support/libkivtestshim.so" KIV_SHIM_SLEEP=real KIV_SHIM_LOG="$events" \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/kivclient/kivclient -d > "$work/agent.out" 2>&1 &
agent_pid=$!
follow "$work/agent.out" from_agent
if ! wait_until 30 checked_in 3; then
  note "${red}the agent did not check in; its output:"; tail -n 20 "$work/agent.out"; exit 1
fi
note "   the router keeps its identity in /var/data/kivc/settings.kivcGen: $(grep UUID /var/data/kivc/settings.kivcGen)"

# ---- 3. one command of each kind ----

send '3. Command: run the whitelisted program "uname" with -s -m; its output comes back in the report' \
  '{"name":"Command","instructions":{"key":"uname","args":["-s","-m"]}}'
send '4. Command: a key that is not in the whitelist is refused, nothing runs' \
  '{"name":"Command","instructions":{"key":"shell","args":["-c","rm -rf /"]}}'
send '5. UploadConfig: the router'"'"'s configuration backup (tool "backup") is uploaded' \
  '"UploadConfig"'
note "   the platform stored: $(upload 1)"
send '6. SystemLog: the router'"'"'s /var/log/messages is uploaded' \
  '"SystemLog"'
note "   the platform stored: $(upload 2)..."
send '7. SetConfig: download a configuration from the platform and apply it (tool "restore")' \
  '{"name":"SetConfig","instructions":{"url":"{files}/router-config.cfg"}}'
send '8. DownloadSettings: a settings file for the LAN (lan.eth); "backrt" and "eth" are restarted' \
  '{"name":"DownloadSettings","instructions":{"InstallationName":"router","InstallationGUID":"00000000-0000-0000-0000-000000000000","SettingsFileName":"lan.eth","SettingsFileText":"LAN_IP=10.0.0.1\nLAN_MASK=255.255.255.0\n"}}'
send '9. ChangePassword: set the password of the router account "admin" (BusyBox passwd)' \
  '{"name":"ChangePassword","instructions":{"Username":"admin","Password":"N3w-Secret"}}'
note "   /etc/shadow now holds a hash for admin: $(grep '^admin:' /etc/shadow | cut -c1-24)..."
send '10. InstallNewApp: install the user-module package "HelloApp" (module hello_mod)' \
  '{"name":"InstallNewApp","instructions":{"InstallationName":"HelloApp","InstallationGUID":"6c1f9d1e-2b7a-4f3e-8a55-0c9d2e7b4a10","InstallationPackage":"{files}/helloapp.tgz","AppName":"helloapp","AppVersion":"1.0","AppType":"tgz"}}'
note "   on the router: $(ls -d /opt/hello_mod /opt/kivclient/applications/HelloApp/optdirs/hello_mod 2>/dev/null | tr '\n' ' ')"
send '11. UninstallApp: remove the installation "HelloApp" again' \
  '{"name":"UninstallApp","instructions":{"AppName":"HelloApp","InstallationGUID":"6c1f9d1e-2b7a-4f3e-8a55-0c9d2e7b4a10"}}'
send '12. UpdateOrblet: download a new agent package and start its re-install script' \
  '{"name":"UpdateOrblet","instructions":{"InstallationName":"kivclient","InstallationGUID":"0f3b2a1c-5d4e-4c3b-9a8f-7e6d5c4b3a21","InstallationPackage":"{files}/kivclient-1.0.1.tgz","AppName":"kivclient-1.0.1","AppType":"tgz"}}'
send '13. A command name the agent does not know is reported back as unknown' \
  '"Frobnicate"'
send '14. Reboot: the agent reports first, then flushes and restarts the router' \
  '"Reboot"'

step "15. Nothing more to do: the platform answers NoActivity again"
now=$(device_field checkins)
wait_until 15 checked_in $((now + 2)) || true
sleep 0.5

# ---- summary ----

kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
agent_pid=''
summary=$(api "$admin/summary" || true)
sleep 0.5
finish

printf '\n%s== Summary: what the platform knows now%s\n' "$bold" "$plain"
printf '%s\n' "$summary" | sed 's/^/  /'
printf '\n%s== On the router%s\n' "$bold" "$plain"
echo "  heartbeat /tmp/watcher: \"$(cat /tmp/watcher 2>/dev/null)\" (rewritten after every successful check-in; the watchdog reads it)"
echo "  identity: $(tr '\n' ' ' < /var/data/kivc/settings.kivcGen | sed 's/PASSWORD=[^ ]*/PASSWORD=(15 random characters)/')"
echo "  configuration downloaded by SetConfig: /tmp/set_config.txt ($(wc -l < /tmp/set_config.txt 2>/dev/null || echo 0) lines)"
echo "  module hello_mod: $([ -d /opt/hello_mod ] && echo installed || echo 'removed again by UninstallApp')"
errors=$(grep -c 'daemon.err' /var/log/messages || true)
echo "  agent syslog lines: $(grep -c 'kivclient\[' /var/log/messages || true), errors among them: $errors"
echo
echo "  The platform's full request log (JSON lines) was $sim_data/requests.jsonl inside the sandbox;"
echo "  run kivsim yourself to keep one: see \"The platform simulator (kivsim)\" in README.md."
trap - EXIT
