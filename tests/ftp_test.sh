#!/bin/sh
# The reference card and upload scripts on the simulated device, against a
# real FTP server and a card image (scripts/ftp-device). Exit 77: skipped.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
export BUILD="$1"
[ "$(id -u)" -eq 0 ] || { echo "needs root: skipped"; exit 77; }
failures=0
outputs=$(mktemp -d /tmp/velmora-ftp-test.XXXXXX)
trap 'rm -rf "$outputs"' EXIT

expect() {  # case pattern what; each case runs once
	out=$outputs/$1
	if [ ! -e "$out" ]; then
		"$src/scripts/ftp-device" --case "$1" > "$out" 2>&1
		status=$?
		[ "$status" -eq 77 ] && { cat "$out"; exit 77; }
	fi
	if grep -q -- "$2" "$out"; then
		echo "ok: $1: $3"
	else
		echo "FAIL: $1: $3; the run printed:"
		cat "$out"
		failures=$((failures + 1))
	fi
}

for script in memCard dataPut; do
	shellcheck "$src/dist/$script" || failures=$((failures + 1))
	busybox sh -n "$src/dist/$script" || failures=$((failures + 1))
done
expect ok "every file of the card, byte-identical" "the card's files arrive byte-identical"
expect ok "err    Data succesfully uploaded" "the upload is reported"
expect busybox "every file of the card, byte-identical" "the scripts work under BusyBox sh"
expect wrong-password "Data put problem: login refused by 127.0.0.1 for user velmoraftp" "a refused login is named"
expect server-stopped "Data put problem: FTP server 127.0.0.1 unreachable" "an unreachable server is named"
expect no-card "err    Mount error" "a card that never appears fails the mount"
# The shell dies of the stop at once; the uploader must still get its grace.
expect stop "^record: 0 of [1-9]" "a stop mid-upload keeps every file on the server in the record"
expect stop "^error log: stopped before every file was sent" "a stop mid-upload lets the uploader say so"
[ "$failures" -eq 0 ]
