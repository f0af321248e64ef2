#!/usr/bin/env bash
# Runs a command inside a throw-away "router sandbox": private mount, PID and
# network namespaces; loopback only; overlays over /etc, /usr and /var; empty
# tmpfs over /opt and /tmp; a private /dev whose /dev/log the test binds.
# Nothing done inside reaches the host. Needs root.
#
#   run-in-sandbox.sh COMMAND [ARGS...]
#
# The command runs with KIV_SANDBOX=1 in the environment. Paths of the
# command and of the source and build trees stay valid inside, also when
# they live under /tmp.
set -euo pipefail

if [ "${KIV_SANDBOX_INNER:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "run-in-sandbox: needs root (namespaces and mounts)" >&2
    exit 1
  fi
  export KIV_SANDBOX_INNER=1
  export KIV_SANDBOX_KEEP="${KIV_SANDBOX_KEEP:-} $(cd "$(dirname "$0")/../../.." && pwd) $(pwd) $(dirname "$(readlink -f "$1")")"
  # --kill-child: when the runner is killed (a ctest time-out), the namespace's
  # first process dies with it, and with that every process inside.
  exec unshare --mount --pid --net --fork --kill-child --mount-proc -- "$0" "$@"
fi

mount --make-rprivate /
ip link set lo up

# Working space for overlay layers, outside every covered directory.
mount -t tmpfs -o mode=0755 ksb /run
mkdir -p /run/ksb/oldtmp /run/ksb/hostdev
mount --rbind /tmp /run/ksb/oldtmp

for d in etc usr var; do
  mkdir -p /run/ksb/$d.upper /run/ksb/$d.work
  mount -t overlay overlay -o lowerdir=/$d,upperdir=/run/ksb/$d.upper,workdir=/run/ksb/$d.work /$d
done
mount -t tmpfs -o mode=0755 opt /opt
mount -t tmpfs -o mode=1777 tmp /tmp

# Bring back the trees the tests run from when they live under /tmp.
for keep in $KIV_SANDBOX_KEEP; do
  case "$keep" in
    /tmp/*)
      mkdir -p "$keep"
      mount --rbind "/run/ksb/oldtmp/${keep#/tmp/}" "$keep"
      ;;
  esac
done

# A private /dev: the host's device nodes that programs need, and no /dev/log
# so that the test can bind its own syslog sink there.
mount --rbind /dev /run/ksb/hostdev
mount -t tmpfs -o mode=0755 dev /dev
for n in null zero full random urandom tty; do
  touch /dev/$n
  mount --bind /run/ksb/hostdev/$n /dev/$n
done
mkdir -p /dev/pts /dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
ln -s pts/ptmx /dev/ptmx
mount -t tmpfs -o mode=1777 shm /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -l /run/ksb/hostdev

export KIV_SANDBOX=1
unset KIV_SANDBOX_INNER
"$@"
