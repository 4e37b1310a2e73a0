#!/bin/sh
# The init script's supervision of the daemon under BusyBox or SysV init,
# against a stand-in daemon whose every start takes the next step of a plan:
# exit with a status, be killed, or run until stopped (then end with status
# 1, as a daemon whose last unmount failed). Also: a kernel thread's or a
# zombie's pid in the pid file is not the daemon.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/velmora-init.XXXXXX)
# Every process of ours names $work on its command line: the supervisor runs
# this copy of the script.
init=$work/init
cp "$src/dist/velmorad.init" "$init"
leftovers() {
	for proc in /proc/[0-9]*; do
		case $(tr '\0' ' ' 2>/dev/null < "$proc/cmdline") in
		*"$work/"*) echo "${proc#/proc/}" ;;
		esac
	done
}
cleanup() {
	# shellcheck disable=SC2046
	kill -KILL $(leftovers) 2>/dev/null
	[ -z "${holder:-}" ] || kill "$holder" 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir "$work/bin"
printf '#!/bin/sh\necho "$*" >> %s/log\n' "$work" > "$work/bin/logger"
cat > "$work/daemon" <<STANDIN
#!/bin/sh
echo \$\$ >> "$work/starts"
step=\$(sed -n "\$(wc -l < "$work/starts")p" "$work/plan")
case \$step in
exit*) exit "\${step#exit}" ;;
killed) kill -KILL \$\$ ;;
esac
trap 'kill \$child; exit 1' TERM
sleep 600 &
child=\$!
wait
STANDIN
chmod +x "$work/bin/logger" "$work/daemon"
# start-stop-daemon is in sbin; SYSTEMCTL_SKIP_REDIRECT: on a host run by
# systemd, Debian's init-functions would hand start and stop to systemctl.
export PATH="$work/bin:$PATH:/usr/sbin:/sbin" DAEMON="$work/daemon" PIDFILE="$work/pid" STATUSFILE="$work/status" \
	DATADIR="$work/var" SYSTEMCTL_SKIP_REDIRECT=1 RESTART_PAUSE=1 RESTART_PAUSE_MAX=2

# Runs the plan given as arguments from a fresh start.
plan() {
	rm -f "$work/starts" "$work/log"
	printf '%s\n' "$@" > "$work/plan"
	sh "$init" start | grep -q ok || fail "start"
}
starts() { wc -l 2>/dev/null < "$work/starts" || echo 0; }
# Waits up to $1 s for the command that follows to succeed.
within() {
	limit=$(($1 * 10))
	shift
	while ! "$@"; do
		limit=$((limit - 1))
		[ $limit -gt 0 ] || return 1
		sleep 0.1
	done
}
started() { [ "$(starts)" -ge "$1" ]; }
logged() { grep -q "$1" "$work/log" 2>/dev/null; }
all_ended() { [ -z "$(leftovers)" ]; }
status_is() {
	code=0
	sh "$init" status > "$work/said" || code=$?
	[ $code -eq "$1" ] || fail "$2: status gave $code, not $1 ($(cat "$work/said"))"
}
stops_clean() {
	sh "$init" stop | grep -q ok || fail "$1: stop"
	all_ended || fail "$1: still running after the stop: $(leftovers)"
}

plan exit1 killed exit1 exit0
within 20 started 4 || fail "after exit status 1 or a kill the daemon was started $(starts) times, not 4"
within 5 all_ended || fail "the supervision went on after exit status 0"
expected="-t velmorad -p daemon.warning velmorad ended with exit status 1; starting it again in 1 s
-t velmorad -p daemon.warning velmorad was ended by signal 9; starting it again in 2 s
-t velmorad -p daemon.warning velmorad ended with exit status 1; starting it again in 2 s"
[ "$(cat "$work/log")" = "$expected" ] || fail "the pauses do not double up to their limit: $(cat "$work/log")"
[ "$(starts)" -eq 4 ] || fail "started again after exit status 0"
status_is 1 "after exit status 0"
echo "ok: started again after exit status 1 and a kill, the pause doubling up to its limit, not after exit status 0"

RESTART_PAUSE=30 RESTART_PAUSE_MAX=60 plan exit1
within 10 logged "starting it again in 30 s" || fail "no restart after exit status 1"
status_is 1 "in the pause"
sh "$init" start | grep -q "supervised" || fail "a start in the pause started another supervisor"
stops_clean "in the pause"
[ "$(starts)" -eq 1 ] || fail "started again after a stop in the pause"
echo "ok: a stop in the pause ends the supervision"

plan exit1 run
within 10 started 2 || fail "not started again after exit status 1"
sleep 0.5
stops_clean "during a run"
[ "$(grep -c . "$work/log")" -eq 1 ] || fail "the stopped daemon's status 1 was taken for a failure"
echo "ok: a stop during a run ends the supervisor and then the daemon, which stays stopped"

# Two starts at once: one supervisor, which the stop then ends.
rm -f "$work/starts"
printf 'run\nrun\n' > "$work/plan"
sh "$init" start > /dev/null &
sh "$init" start > /dev/null
wait
sleep 1
[ "$(starts)" -eq 1 ] || fail "two starts at once started $(starts) daemons"
stops_clean "after two starts at once"
echo "ok: two starts at once start one daemon"

# A kernel thread (kthreadd, where this runs outside a pid namespace) and a
# zombie at a stale pid file's pid. The zombie's parent becomes sleep, which
# never reaps it, before it ends.
sh -c 'sleep 1 & echo $! > "$1"; exec sleep 30' sh "$work/zombie" &
holder=$!
is_zombie() { [ -s "$work/zombie" ] && grep -q '^State:.Z' "/proc/$(cat "$work/zombie")/status" 2>/dev/null; }
within 5 is_zombie || fail "no zombie to test with"
for pid in 2 "$(cat "$work/zombie")"; do
	if [ ! -e "/proc/$pid" ] || [ -s "/proc/$pid/cmdline" ]; then
		continue
	fi
	echo "$pid" > "$PIDFILE"
	status_is 1 "pid $pid in the pid file"
	sh "$init" start | grep -q ok || fail "pid $pid in the pid file: start did not start the daemon"
	stops_clean "pid $pid in the pid file"
done
echo "ok: a kernel thread or a zombie at the pid file's pid is not the daemon"
