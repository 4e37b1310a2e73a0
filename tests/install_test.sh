#!/bin/sh
# Stages an install of the build in $1 and runs the init script through
# start, status, restart and stop against a stand-in daemon.
set -eu
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/velmora-install.XXXXXX)
trap 'kill $(cat "$work/pid" 2>/dev/null) 2>/dev/null || :; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/root" cmake --install "$build" > /dev/null
for f in opt/Velmora/bin/velmorad opt/Velmora/bin/velmora-settings opt/Velmora/bin/velmora-com \
         etc/init.d/velmorad opt/Velmora/etc/memCard opt/Velmora/etc/dataPut; do
	[ -x "$work/root/$f" ] || fail "$f is not installed as a program"
done
for f in opt/Velmora/etc/settings.example opt/Velmora/etc/memCard.conf lib/systemd/system/velmorad.service; do
	[ -f "$work/root/$f" ] || fail "$f is not installed"
done
[ ! -e "$work/root/opt/Velmora/etc/settings" ] || fail "an install must not replace the device's settings"
grep -q '^Type=simple$' "$work/root/lib/systemd/system/velmorad.service" || fail "unit is not Type=simple"

# The example must be a settings file the daemon reads as documented.
"$build/velmora-settings" --file "$src/dist/settings.example" get uploadtime | grep -qx '02:30' \
	|| fail "the example settings do not read back"

init="$work/root/etc/init.d/velmorad"
sh -n "$init" || fail "init script syntax"
printf '#!/bin/sh\nexec sleep 600\n' > "$work/daemon"
chmod +x "$work/daemon"
export DAEMON="$work/daemon" PIDFILE="$work/pid"

# With Debian's start-stop-daemon and shell, then with BusyBox's applets.
lifecycle() {
	sh=$1
	$sh "$init" status > /dev/null && fail "$sh: status says running before start"
	$sh "$init" start | grep -q ok || fail "$sh: start"
	sleep 0.3
	$sh "$init" status | grep -q "is running" || fail "$sh: status after start"
	first=$(cat "$PIDFILE")
	$sh "$init" start | grep -q "already running" || fail "$sh: a second start must not start another"
	$sh "$init" restart > /dev/null || fail "$sh: restart"
	sleep 0.3
	[ "$(cat "$PIDFILE")" != "$first" ] || fail "$sh: restart kept the old process"
	kill -0 "$first" 2>/dev/null && fail "$sh: restart left the old process running"
	$sh "$init" stop | grep -q ok || fail "$sh: stop"
	$sh "$init" status > /dev/null && fail "$sh: status says running after stop"
	[ ! -e "$PIDFILE" ] || fail "$sh: pid file left after stop"
	return 0
}
lifecycle sh
if [ -x /bin/busybox ]; then
	mkdir "$work/busybox"
	for applet in start-stop-daemon sleep cat rm; do
		ln -s /bin/busybox "$work/busybox/$applet"
	done
	PATH="$work/busybox:$PATH" lifecycle "/bin/busybox sh"
fi
echo "install tree and init script: ok"
