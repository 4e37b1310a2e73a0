#!/bin/sh
# dist/memCard mount finding the card still mounted from an interrupted cycle
# unmounts it and mounts it afresh. Runs in a private mount namespace with
# mount and umount stand-ins that log and mount a tmpfs. Exit 77: skipped.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (a block device node, mounts): skipped"; exit 77; }
if [ -z "${VELMORA_REMOUNT_NS:-}" ]; then
	VELMORA_REMOUNT_NS=1 exec unshare --mount --propagation private sh "$0" "$@"
fi
work=$(mktemp -d /tmp/velmora-remount.XXXXXX)
trap 'umount "$work/card" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/card"
mknod "$work/device" b 7 250
for tool in mount umount; do
	real=$(command -v "$tool")
	cat > "$work/bin/$tool" <<STUB
#!/bin/sh
echo "$tool \$*" >> "$work/calls"
case "$tool" in
mount) exec "$real" -t tmpfs card "$work/card" ;;
umount) exec "$real" "\$@" ;;
esac
STUB
	chmod 755 "$work/bin/$tool"
done
printf 'CARD_DEVICE=%s\nMOUNT_POINT=%s\nWAIT_SECONDS=1\n' "$work/device" "$work/card" > "$work/conf"

mount -t tmpfs stale "$work/card"
touch "$work/card/from-the-interrupted-cycle"
MEMCARD_CONF="$work/conf" PATH="$work/bin:$PATH" sh "$src/dist/memCard" mount 2>/dev/null
status=$?
expected="umount $work/card
mount -o ro $work/device $work/card"
if [ "$status" -ne 0 ] || [ "$(cat "$work/calls")" != "$expected" ] ||
   [ -e "$work/card/from-the-interrupted-cycle" ]; then
	echo "FAIL: the stale mount was not replaced (status $status); calls:"
	cat "$work/calls"
	exit 1
fi
echo "ok: a card left mounted is unmounted and mounted afresh"

# A mistyped WAIT_SECONDS fails at once instead of waiting for ever with the
# card powered; a mount point with a trailing slash is still unmounted.
rm -f "$work/calls"
printf 'CARD_DEVICE=%s\nMOUNT_POINT=%s\nWAIT_SECONDS=30s\n' "$work/no-device" "$work/card" > "$work/conf"
MEMCARD_CONF="$work/conf" PATH="$work/bin:$PATH" timeout 5 sh "$src/dist/memCard" mount 2> "$work/said"
status=$?
if [ "$status" -ne 1 ] || ! grep -q "WAIT_SECONDS=30s" "$work/said"; then
	echo "FAIL: WAIT_SECONDS=30s: status $status ($(cat "$work/said"))"
	exit 1
fi
echo "ok: a WAIT_SECONDS that is not a number fails the mount at once, naming it"
printf 'CARD_DEVICE=%s\nMOUNT_POINT=%s/\nWAIT_SECONDS=1\n' "$work/device" "$work/card" > "$work/conf"
MEMCARD_CONF="$work/conf" PATH="$work/bin:$PATH" sh "$src/dist/memCard" umount 2>/dev/null
if grep -q " $work/card " /proc/mounts; then
	echo "FAIL: MOUNT_POINT with a trailing slash: the card is still mounted"
	exit 1
fi
echo "ok: a mount point written with a trailing slash is unmounted"
