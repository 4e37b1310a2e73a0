#!/bin/sh
# Stages an install of the build in $1 under the prefix /usr, checks where
# everything lands and that the manual pages render, and runs the init script
# through its actions against a stand-in daemon.
set -eu
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/velmora-install.XXXXXX)
trap 'kill $(cat "$work/pid" 2>/dev/null) 2>/dev/null || :; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

root=$work/root
DESTDIR="$root" cmake --install "$build" --prefix /usr > /dev/null
for f in opt/Velmora/bin/velmorad opt/Velmora/bin/velmora-settings opt/Velmora/bin/velmora-com \
         opt/Velmora/etc/memCard opt/Velmora/etc/dataPut; do
	[ -x "$root/$f" ] || fail "$f is not installed as a program"
done
for f in opt/Velmora/etc/settings.example usr/share/doc/velmora/copyright \
         usr/share/doc/velmora/changelog.gz; do
	[ -f "$root/$f" ] || fail "$f is not installed (or not under the prefix given to cmake --install)"
done
conf=$(readlink "$root/opt/Velmora/etc/memCard.conf") || fail "memCard.conf is not a link to /etc"
[ -f "$root$conf" ] || fail "the scripts' memCard.conf points to $conf, which is not installed"
[ ! -e "$root/opt/Velmora/etc/settings" ] || fail "an install must not replace the device's settings"
found() { find "$root" -path "*/$1" | head -n 1; }
unit=$(found systemd/system/velmorad.service)
[ -n "$unit" ] || fail "velmorad.service not installed"
[ -n "$(found systemd/system/velmorad.path)" ] || fail "velmorad.path not installed"
[ -n "$(found systemd/system/velmorad-settings.service)" ] || fail "velmorad-settings.service not installed"
grep -q 'd /var/Velmora ' "$(found tmpfiles.d/velmora.conf)" || fail "no tmpfiles.d entry for /var/Velmora"
# shellcheck disable=SC2016
for line in Type=notify NotifyAccess=main KillMode=mixed "ExecReload=/bin/sh -c 'kill -HUP \$MAINPID'"; do
	grep -qx "$line" "$unit" || fail "unit lacks $line"
done

for page in "$src"/doc/*.8; do
	name=$(basename "$page")
	installed=$root/usr/share/man/man8/$name.gz
	[ -f "$installed" ] || fail "manual page $name is not installed"
	if command -v man > /dev/null; then
		warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$installed" 2>&1 > /dev/null)
		[ -z "$warnings" ] || fail "man -l $name: $warnings"
	fi
done
# The Buildroot and Yocto recipes must take every file this install gives,
# and pass only options the build knows.
installed=$(cd "$root" && find . ! -type d | sed 's|^\.||' | sort)
unit_dir=$(dirname "${unit#"$root"}")
# shellcheck disable=SC2016
yocto_patterns=$(sed -n '/^FILES:${PN} += "/,/^"/p' "$src/dist/yocto/velmora_0.1.0.bb" | sed '1d;$d;s/\\$//' |
	sed "s|\${systemd_system_unitdir}|$unit_dir|;s|\${nonarch_libdir}|/usr/lib|")
buildroot_patterns=$(sed -n 's/^| \(\/[^ ]*\) |.*/\1/p' "$src/dist/buildroot/README.md")
covered() {
	set -f
	for pattern in $2; do
		# shellcheck disable=SC2254
		case $1 in $pattern | $pattern/*) set +f; return 0 ;; esac
	done
	set +f
	return 1
}
for path in $installed; do
	# Yocto's own defaults put /etc in the main package and the docs in -doc.
	covered "$path" "$yocto_patterns /etc /usr/share/doc /usr/share/man" \
		|| fail "the Yocto recipe packages no $path"
	br_path=$(echo "$path" | sed "s|^/etc/init.d/velmorad$|/etc/init.d/S90velmorad|;s|^$unit_dir/|/usr/lib/systemd/system/|")
	covered "$br_path" "$buildroot_patterns" || fail "dist/buildroot/README.md does not list $br_path"
done
# shellcheck disable=SC2013
for name in $(grep -oh -- '-D[A-Z_]*=' "$src/dist/buildroot/velmorad.mk" "$src/dist/yocto/velmora_0.1.0.bb" |
	sed 's/^-D//;s/=$//' | sort -u); do
	[ "$name" = BUILD_TESTING ] || grep -Eq "(option|set)\($name " "$src/CMakeLists.txt" "$src/install.cmake" \
		|| fail "a recipe passes -D$name, which the build does not know"
done

for tool in velmora-settings velmora-com; do
	"$build/$tool" --version | grep -Eqx "$tool [0-9]+\.[0-9]+\.[0-9]+" || fail "$tool --version"
done

# The example must be a settings file the daemon reads as documented.
"$build/velmora-settings" --file "$src/dist/settings.example" get uploadtime | grep -qx '02:30' \
	|| fail "the example settings do not read back"

init=$(found init.d/velmorad)
[ -x "$init" ] || fail "init script not installed"
sh -n "$init" || fail "init script syntax"
grep -En 'sleep +[0-9]*\.' "$init" && fail "fractional sleep: BusyBox may not have it"
# The stand-in notes the signals it gets and, like the daemon stopped during
# a cycle, takes a while to end.
cat > "$work/daemon" <<STANDIN
#!/bin/sh
trap 'echo HUP >> "$work/signals"' HUP
trap 'echo USR1 >> "$work/signals"' USR1
trap 'kill \$child; sleep 1; exit 0' TERM
sleep 600 &
child=\$!
while :; do wait \$child; done
STANDIN
chmod +x "$work/daemon"
export DAEMON="$work/daemon" PIDFILE="$work/pid" STATUSFILE="$work/status" DATADIR="$work/var"

# With Debian's start-stop-daemon and shell, then with BusyBox's applets.
lifecycle() {
	sh=$1
	$sh "$init" status > /dev/null && fail "$sh: status says running before start"
	$sh "$init" start | grep -q ok || fail "$sh: start"
	[ -d "$DATADIR" ] || fail "$sh: start did not create the data folder"
	sleep 1
	$sh "$init" status | grep -q "is running" || fail "$sh: status after start"
	first=$(cat "$PIDFILE")
	$sh "$init" start | grep -q "already running" || fail "$sh: a second start must not start another"
	$sh "$init" restart > /dev/null || fail "$sh: restart"
	kill -0 "$first" 2>/dev/null && fail "$sh: restart left the old process running"
	sleep 1
	[ "$(cat "$PIDFILE")" != "$first" ] || fail "$sh: restart kept the old process"
	$sh "$init" stop | grep -q ok || fail "$sh: stop"
	$sh "$init" status > /dev/null && fail "$sh: status says running after stop"
	[ ! -e "$PIDFILE" ] || fail "$sh: pid file left after stop"
	rm -rf "$DATADIR"
	return 0
}
lifecycle sh
if [ -x /bin/busybox ]; then
	mkdir "$work/busybox"
	for applet in start-stop-daemon sleep cat rm mkdir; do
		ln -s /bin/busybox "$work/busybox/$applet"
	done
	PATH="$work/busybox:$PATH" lifecycle "/bin/busybox sh"
fi

# reload, force-reload and upload-now reach the daemon; status shows its line.
sh "$init" start > /dev/null
sleep 1
: > "$work/signals"
expected=
for action in reload:HUP force-reload:HUP upload-now:USR1; do
	sh "$init" "${action%:*}" || fail "${action%:*}"
	expected="$expected${action#*:} "
	i=0
	while [ "$(tr '\n' ' ' < "$work/signals")" != "$expected" ] && [ $i -lt 30 ]; do
		sleep 0.1
		i=$((i + 1))
	done
	[ "$(tr '\n' ' ' < "$work/signals")" = "$expected" ] || fail "${action%:*} did not send SIG${action#*:}"
done
echo "next upload 2026-12-08 02:30" > "$STATUSFILE"
sh "$init" status | grep -qx "next upload 2026-12-08 02:30" || fail "status does not show the status line"
sh "$init" stop > /dev/null
sh -c 'echo $$' > "$PIDFILE"
status=0; sh "$init" status > /dev/null || status=$?
[ $status -eq 1 ] || fail "status with a stale pid file gave $status, not 1"
sleep 30 &
other=$!
echo "$other" > "$PIDFILE"
sh "$init" reload > /dev/null 2>&1 && fail "reload of a daemon that is not running succeeded"
kill -0 "$other" 2>/dev/null || fail "reload signalled another process that took the stale pid file's pid"
kill "$other"
status=0; DAEMON=$work/absent sh "$init" start > /dev/null 2>&1 || status=$?
[ $status -eq 5 ] || fail "start of a missing program gave $status, not 5"
echo "install tree and init script: ok"
