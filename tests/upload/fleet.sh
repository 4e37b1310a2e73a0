#!/usr/bin/env bash
# A fleet at one upload minute: DEVICES uploaders, each with its own card,
# record and folder, start together against one vsftpd that takes four
# sessions and turns the rest away with its 421. Every card must arrive
# whole, and a device turned away must wait, not report the server
# unreachable. One line per check, then a summary; --bench prints a
# markdown row instead and reports rather than fails. Needs root; exit 77:
# skipped.
# usage: tests/upload/fleet.sh BUILD_DIR [--bench]    (DEVICES=60 by default)
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: fleet.sh BUILD_DIR [--bench]}" && pwd)
bench=${2:-}
devices=${DEVICES:-60}
server_sessions=4
files=10 file_kib=40 rate=50000   # about 8 s a device, whatever its sessions
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root (a network namespace, an FTP server on port 21): skipped"
  exit 77
fi
for tool in vsftpd unshare openssl ip; do
  command -v "$tool" > /dev/null || { echo "no $tool: skipped"; exit 77; }
done
if [ -z "${VELMORA_FLEET_NS:-}" ]; then
  export VELMORA_FLEET_NS=1
  exec unshare --net --mount --propagation private "$0" "$build" "$bench"
fi

work=$(mktemp -d /tmp/velmora-fleet.XXXXXX)
chmod 755 "$work"
ftpd=
cleanup() {
  [ -n "$ftpd" ] && kill "$ftpd" 2>/dev/null
  if [ -n "${VELMORA_FLEET_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
ip link set lo up

user=fleet
password=fleet-pass
home=$work/home
mkdir -p "$home" "$work/empty"
chown 4242:4242 "$home"
for f in passwd shadow group; do
  cp "/etc/$f" "$work/$f"
  mount --bind "$work/$f" "/etc/$f"
done
echo "$user:x:4242:4242::$home:/bin/sh" >> /etc/passwd
echo "$user:x:4242:" >> /etc/group
echo "$user:$(openssl passwd -6 "$password"):20000:0:99999:7:::" >> /etc/shadow

# The server as a small office runs it: a session cap, and every login in
# the protocol log.
printf '%s\n' listen=YES listen_address=127.0.0.1 background=NO anonymous_enable=NO \
  local_enable=YES write_enable=YES local_umask=022 pam_service_name=vsftpd \
  "secure_chroot_dir=$work/empty" seccomp_sandbox=NO pasv_address=127.0.0.1 \
  "max_clients=$server_sessions" max_per_ip=0 xferlog_enable=YES xferlog_std_format=NO \
  log_ftp_protocol=YES "vsftpd_log_file=$work/proto.log" > "$work/vsftpd.conf"
vsftpd "$work/vsftpd.conf" > "$work/server.out" 2>&1 &
ftpd=$!
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/21) 2>/dev/null && break
  sleep 0.1
done

# Each device as shipped: the project's options, only the card, TLS and the
# metered link set (the first line of a key wins).
for i in $(seq 1 "$devices"); do
  d=$work/dev-$i
  mkdir -p "$d/card/logs"
  for f in $(seq 1 "$files"); do head -c $((file_kib * 1024)) /dev/urandom > "$d/card/logs/f$f.bin"; done
  { printf '%s\n' "MOUNT_POINT=$d/card" TLS=off "MAX_RATE=$rate"; cat "$src/dist/upload.conf"; } > "$d/upload.conf"
  "$build/velmora-settings" --file "$d/settings" set ftp_serv_ip=127.0.0.1 dest_folder="device-$i" \
    username="$user" password="$password" > /dev/null
done

pids=()
t0=$(date +%s.%N)
for i in $(seq 1 "$devices"); do
  d=$work/dev-$i
  # A guard against a hang only; the wall time is measured, never judged here.
  timeout -k 5 780 "$build/velmora-upload" --settings "$d/settings" --config "$d/upload.conf" \
    --state "$d/state" --error-log "$d/ftperror.log" > "$d/out" 2>&1 &
  pids+=($!)
done
failed_exit=0 first_exit=''
for i in $(seq 1 "$devices"); do
  wait "${pids[$((i - 1))]}"
  status=$?
  [ "$status" -eq 0 ] && continue
  failed_exit=$((failed_exit + 1))
  first_exit=${first_exit:-"device $i: exit $status: $(head -n 1 "$work/dev-$i/ftperror.log" 2>/dev/null)"}
done
wall=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
sleep 0.5   # the server's log of the last session

complete=0 incomplete_first='' unreachable=0 unreachable_first=''
for i in $(seq 1 "$devices"); do
  d=$work/dev-$i
  if diff -rq -x '.*' "$d/card" "$home/device-$i" > /dev/null 2>&1; then
    complete=$((complete + 1))
  else
    incomplete_first=${incomplete_first:-"device $i: $(diff -rq -x '.*' "$d/card" "$home/device-$i" 2>&1 | head -n 1)"}
  fi
  if grep -qi unreachable "$d/ftperror.log" 2>/dev/null; then
    unreachable=$((unreachable + 1))
    unreachable_first=${unreachable_first:-"device $i: $(grep -i -m 1 unreachable "$d/ftperror.log")"}
  fi
done
temporaries=$(find "$home" -name '.*' | wc -l)
logins=$(grep -c 'OK LOGIN' "$work/proto.log" 2>/dev/null || true)
per_device=$(awk -v l="$logins" -v d="$devices" 'BEGIN { printf "%.2f", l / d }')
session_s=$((files * file_kib * 1024 / rate))
target=$((devices * session_s * 3 / (2 * server_sessions)))

if [ "$bench" = --bench ]; then
  echo "| devices | server sessions | devices complete | wall s to the last | logins per device | target: last within $target s |"
  echo "|---|---|---|---|---|---|"
  faults=()
  [ "$failed_exit" -eq 0 ] || faults+=("$failed_exit exit non-zero")
  [ "$unreachable" -eq 0 ] || faults+=("$unreachable say unreachable")
  [ "$temporaries" -eq 0 ] || faults+=("$temporaries temporary files left")
  verdict=$(awk -v w="$wall" -v t="$target" 'BEGIN { print (w <= t) ? "met" : "missed" }')
  printf '| %d | %d | %d | %.1f | %s | %s%s |\n' "$devices" "$server_sessions" "$complete" "$wall" \
    "$per_device" "$verdict" "$( ((${#faults[@]})) && printf '; %s' "${faults[@]}")"
  exit 0
fi

failures=0
check() {  # ok? message detail-when-not
  if [ "$1" = yes ]; then echo "ok: $2"; else echo "FAIL: $2 ($3)"; failures=$((failures + 1)); fi
}
yes_if() { if [ "$1" -eq "$2" ]; then echo yes; else echo no; fi; }
check "$(yes_if "$failed_exit" 0)" "every device exits 0" "$failed_exit of $devices do not, first $first_exit"
check "$(yes_if "$complete" "$devices")" "every card is on the server byte for byte" \
  "$((devices - complete)) of $devices are not, first $incomplete_first"
check "$(yes_if "$unreachable" 0)" "no device takes the busy server for an unreachable one" \
  "$unreachable of $devices do, first $unreachable_first"
check "$(yes_if "$temporaries" 0)" "no temporary file is left on the server" \
  "$temporaries left, first $(find "$home" -name '.*' | head -n 1)"
printf 'devices %d, server sessions %d, devices complete %d, wall %.1f s to the last (%d s would be 1.5 x the least), logins per device %s\n' \
  "$devices" "$server_sessions" "$complete" "$wall" "$target" "$per_device"
[ "$failures" -eq 0 ]
