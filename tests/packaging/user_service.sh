#!/usr/bin/env bash
# The systemd user units as installed, under a real systemd --user of a throwaway user, on a
# machine of their own (private mounts, no network): the metrics before any log succeed with no
# failed check; the service keeps the log and the watcher's record in ~/.local/state, whatever
# the systemd version; a stop ends the watcher and its monitor and is recorded.
# usage: user_service.sh BUILD_DIR (configured and built; installed here into a scratch prefix)
set -u
skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || skip "a user manager for a throwaway user needs root"
for tool in useradd systemctl unshare ip; do
    command -v $tool >/dev/null || skip "$tool is missing"
done
manager=$(ls /lib/systemd/systemd /usr/lib/systemd/systemd 2>/dev/null | head -1)
[ -n "$manager" ] || skip "no systemd binary"

if [ "${2-}" != --inside ]; then
    build=$(realpath "$1")
    scratch=$(mktemp -d)
    chmod 755 "$scratch"
    user=cm-test-$$
    useradd --system --no-create-home --home-dir "$scratch/home" --shell /bin/sh "$user" ||
        fail "cannot add a user"
    mkdir -p "$scratch/home" "$scratch/runtime" && chown "$user:" "$scratch/home" "$scratch/runtime" &&
        chmod 700 "$scratch/runtime"
    # A cgroup of its own in each hierarchy, the user's to hand on to its services.
    groups=()
    for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
        if [ -w "$hierarchy/cgroup.procs" ] && mkdir "$hierarchy/$user" 2>/dev/null; then
            chown -R "$user:" "$hierarchy/$user" && groups+=("$hierarchy/$user")
        fi
    done
    cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
        fail "cmake --install: $(tail -3 "$scratch/install.log")"
    unshare -m -n bash "$0" "$build" --inside "$user" "$scratch" "${groups[@]}"
    status=$?
    pkill -9 -u "$user" 2>/dev/null
    sleep 0.5
    for group in "${groups[@]}"; do find "$group" -depth -type d -exec rmdir {} \; 2>/dev/null; done
    userdel "$user" 2>/dev/null
    rm -rf "$scratch"
    exit $status
fi

user=$3
scratch=$4
shift 4
# systemd --user starts only where systemd booted the machine; here it did in this namespace.
mount --make-rprivate / && mkdir -p /run/systemd && mount -t tmpfs tmpfs /run/systemd &&
    mkdir /run/systemd/system && ip link set lo up || fail "cannot set up the machine"
for group in "$@"; do echo $$ >"$group/cgroup.procs"; done
home=$scratch/home
state=$home/.local/state/connectivity-monitor
as_user() { su "$user" -s /bin/sh -c "cd && XDG_RUNTIME_DIR=$scratch/runtime $*"; }
mkdir -p "$home/.config/systemd/user"
cp "$scratch"/prefix/lib/systemd/user/* "$home/.config/systemd/user/"
chown -R "$user:" "$home"

as_user "exec $manager --user" >"$scratch/manager.log" 2>&1 &
for _ in $(seq 100); do
    running=$(as_user systemctl --user is-system-running 2>/dev/null)
    [[ $running == running || $running == degraded ]] && break
    sleep 0.2
done
[[ $running == running || $running == degraded ]] ||
    skip "systemd --user does not start here: $(tail -2 "$scratch/manager.log" | tr '\n' ' ')"

as_user systemctl --user start connectivity-report-metrics.service ||
    fail "the metrics failed before any log: $(as_user systemctl --user status connectivity-report-metrics.service)"
grep -q '^connectivity_failed_checks_total 0$' "$state/connectivity.prom" ||
    fail "no metrics before any log: $(cat "$state/connectivity.prom" 2>&1)"

as_user systemctl --user start connectivity-monitor.service || fail "the service did not start"
for _ in $(seq 100); do
    [ -s "$state/connectivityLog.txt" ] && grep -q ' diagnosis ' "$state/connectivityWatch.txt" && break
    sleep 0.2
done
grep -q ' started version=' "$state/connectivityWatch.txt" && [ -s "$state/connectivityLog.txt" ] ||
    fail "nothing in $state: $(ls -A "$home/.local/state" "$home/.config" 2>&1)"
[ ! -e "$home/.config/connectivity-monitor" ] || fail "the service wrote into ~/.config"
[ "$(stat -c %U "$state/connectivityWatch.txt")" = "$user" ] || fail "the record is not the user's"

as_user systemctl --user stop connectivity-monitor.service
[[ $(tail -1 "$state/connectivityWatch.txt") == *" stopped reason=SIGTERM" ]] ||
    fail "the stop was not recorded: $(tail -2 "$state/connectivityWatch.txt")"
! pgrep -u "$user" -f 'connectivity-(watch|monitor)' >/dev/null || fail "the stop left programs running"
echo "PASS: the user units under systemd --user"
