#!/usr/bin/env bash
# velmora-upload over SFTP against OpenSSH's sshd (internal-sftp) in a private
# network namespace: what arrives, what is sent again, what survives a kill,
# and the host key and login failures an installer must be told about.
# Needs root; exit 77: skipped.
# usage: tests/upload/sftp_e2e.sh BUILD_DIR
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: sftp_e2e.sh BUILD_DIR}" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root (a network namespace, tc, an SSH server): skipped"
  exit 77
fi
if [ -z "${VELMORA_UPLOAD_NS:-}" ]; then
  "$src/scripts/deps" openssh-server openssh-client openssl iproute2 >&2
  export VELMORA_UPLOAD_NS=1
  exec unshare --net --mount --propagation private "$0" "$build"
fi

work=$(mktemp -d /tmp/velmora-sftp.XXXXXX)
chmod 755 "$work"
sshd=
cleanup() {
  [ -n "$sshd" ] && kill "$sshd" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && trap - EXIT
ip link set lo up
failures=0
check() {  # what-the-device-would-have-done-wrong test...
  local message=$1
  shift
  if "$@"; then
    echo "ok: $message"
  else
    echo "FAIL: $message"
    failures=$((failures + 1))
  fi
}

user=velmorasftp
password='s3cret pass"word'
mkdir -p "$work/home" "$work/state" "$work/card"
chown 4242:4242 "$work/home"
for f in passwd shadow group; do
  cp "/etc/$f" "$work/$f"
  mount --bind "$work/$f" "/etc/$f"
done
echo "$user:x:4242:4242::$work/home:/bin/sh" >> /etc/passwd
echo "$user:x:4242:" >> /etc/group
echo "$user:$(openssl passwd -6 "$password"):20000:0:99999:7:::" >> /etc/shadow

# The server's key, another one that stands for a wrong pin, and the
# device's own for logging in without a password: its public half goes only
# to the server, so the uploader must derive it from the private key.
for key in host other client; do ssh-keygen -q -t ed25519 -N '' -C '' -f "$work/$key"; done
mv "$work/client.pub" "$work/authorized_keys"
fingerprint() { ssh-keygen -lf "$1" | awk '{ sub(/^SHA256:/, "", $2); print $2 }'; }
host_fp=$(fingerprint "$work/host.pub")
other_fp=$(fingerprint "$work/other.pub")
port=2222
echo "[127.0.0.1]:$port $(cat "$work/host.pub")" > "$work/known_hosts"

mkdir -p /run/sshd
cat > "$work/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey $work/host
PidFile none
UsePAM no
StrictModes no
PasswordAuthentication yes
KbdInteractiveAuthentication no
AuthorizedKeysFile $work/authorized_keys
Subsystem sftp internal-sftp
EOF
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2> "$work/sshd.log" &
sshd=$!
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.1
done

settings() {  # file password
  "$build/velmora-settings" --file "$1" set ftp_serv_ip=127.0.0.1:$port dest_folder=/in/dev-7 \
    username="$user" password="$2" > /dev/null
}
settings "$work/settings" "$password"
conf() {  # KEY=value lines before the defaults (the first line of a key wins)
  printf '%s\n' "$@" PROTOCOL=sftp "HOST_KEY_SHA256=$host_fp" "MOUNT_POINT=$work/card" RETRIES=1 SESSIONS=2 \
    CONNECT_TIMEOUT=10 LOW_SPEED_TIME=5 > "$work/upload.conf"
}
upload() {
  "$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" "$@" > "$work/out" 2>&1
}
first_line() { head -n 1 "$work/ftperror.log" 2>/dev/null; }
reason_is() { first_line | grep -q -- "$1" || { echo "  error log: $(first_line)"; false; }; }
exits() {  # status [command...]: the run ended with this status, and the command holds
  [ "$status" -eq "$1" ] || { echo "  exit $status, output: $(head -n 3 "$work/out")"; return 1; }
  shift
  [ $# -eq 0 ] || "$@"
}
files() { (cd "$1" && find . -type f ! -name '.*.part-*' -print0 | sort -z | xargs -0r sha1sum); }
same_files() {
  diff <(files "$work/card") <(files "$work/home/in/dev-7") > "$work/diff" || { grep "^[<>]" "$work/diff" | head -n 3 | sed "s/^/  /"; false; }
}
no_temporary() { test -z "$(find "$work/home/in" -name '.*.part-*')"; }
replaced() { same_files && no_temporary; }
# Files written on the server since the last mark: a file sent again has
# the time of its sending.
mark() { touch "$work/mark"; }
stored() { find "$work/home/in" -type f -newer "$work/mark" | wc -l; }
logins() { grep -c "Accepted $1 for $user" "$work/sshd.log"; }
# Bytes that crossed the loopback, both ways.
lo_bytes() { awk '$1 == "lo:" { print $2 }' /proc/net/dev; }

conf
card=$work/card
mkdir -p "$card/logs/a" "$card/~" "$card/-dash dir"
for i in 1 2 3 4 5; do head -c $((i * 3000)) /dev/urandom > "$card/logs/a/day$i.bin"; done
for name in 'with blank' 'two  blanks' '100%.csv' '%s%n' '*' 'star*.log' '-leading' '--help' 'grüße.txt' \
  'emoji 😀.txt' "it's" 'quote".txt' 'back\slash' '~user' '#hash' 'what?'; do
  printf '%s\n' "$name" > "$card/$name"
  printf '%s\n' "$name" > "$card/-dash dir/$name"
done
echo "a card file" > "$card/~/~"
echo "the home's own" > "$work/home/keep"

upload; status=$?
check "day 1: every file arrives (exit 0)" exits 0
check "day 1: the server holds the card's files byte-identical, hostile names included" same_files
check "day 1: nothing is written outside the destination folder ('~' names)" \
  test "$(cd "$work/home" && find . -mindepth 1 -path ./in -prune -o -newer "$work/home/keep" -print)" = ""
check "day 1: one login a session, not one a file" test "$(logins password)" -le 2

mark
upload; status=$?
check "day 2: nothing new, exit 0" exits 0
check "day 2: no file is sent again" test "$(stored)" -eq 0

head -c 7000 /dev/urandom > "$card/logs/a/day1.bin"
head -c 5000 /dev/urandom > "$card/logs/a/day6.bin"
mark
upload; status=$?
check "day 3: exit 0, only the changed file and the new one are sent" exits 0 test "$(stored)" -eq 2
check "day 3: the changed file replaces the old one, no temporary name left" replaced

# A lost record: the server's listing says what it has.
rm -rf "$work/state"
find "$card" -exec touch -d '10 minutes ago' {} +
mark
upload; status=$?
check "a lost record: exit 0, nothing is sent again" exits 0 test "$(stored)" -eq 0

# Killed outright halfway through a large file on a slow link, then sent
# on: the server never shows it under its final name but whole, and the
# next run sends only what is missing.
large=$((4 * 1024 * 1024))
head -c $large /dev/urandom > "$card/large.bin"
while sleep 0.05; do stat -c %s "$work/home/in/dev-7/large.bin" 2>/dev/null; done > "$work/seen" &
watcher=$!
ip link set lo mtu 1500
tc qdisc add dev lo root tbf rate 4mbit burst 16kb latency 100ms
"$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" --state "$work/state" \
  --error-log "$work/ftperror.log" > "$work/out" 2>&1 & pid=$!
for _ in $(seq 150); do
  [ "$(find "$work/home/in/dev-7" -name '.large.bin.part-*' -printf '%s')" -ge $((large / 4)) ] 2>/dev/null && break
  sleep 0.1
done
tr '\0' ' ' < "/proc/$pid/cmdline" > "$work/cmdline"
kill -KILL "$pid"
wait "$pid" 2>/dev/null
# The server's side of the killed session still writes what was in flight.
while sleep 0.5; [ -n "$(pgrep -P "$sshd")" ]; do :; done
partial=$(find "$work/home/in/dev-7" -name '.large.bin.part-*' -printf '%s')
check "killed: no file under its final name, a partial one under the temporary name" \
  sh -c "[ ! -e '$work/home/in/dev-7/large.bin' ] && [ ${partial:-0} -gt 0 ]"
before=$(lo_bytes)
upload; status=$?
after=$(lo_bytes)
tc qdisc del dev lo root
kill "$watcher"
check "after the kill: exit 0, the large file whole on the server" exits 0 same_files
# (What crossed the loopback, the protocol's share included.)
check "after the kill: only the missing part is sent" test $((after - before)) -lt $(((large - partial) * 115 / 100))
check "the final name never showed a partial file" test -z "$(grep -vx "$large" "$work/seen")"

# The server's disk full: named so at the first cut, not retried as a
# broken link.
mkdir -p "$work/home/in/full"
mount -t tmpfs -o size=256k,uid=4242,gid=4242 tmpfs "$work/home/in/full"
"$build/velmora-settings" --file "$work/full" set ftp_serv_ip=127.0.0.1:$port dest_folder=/in/full \
  username="$user" password="$password" > /dev/null
conf RETRIES=8
timeout 60 "$build/velmora-upload" --settings "$work/full" --config "$work/upload.conf" \
  --state "$work/state-full" --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
umount "$work/home/in/full"
check "server disk full: exit 1, the error log says so" exits 1 reason_is "^server disk full"

conf "HOST_KEY_SHA256=$other_fp"
upload --all; status=$?
check "a wrong host key pinned: exit 1, the error log names the server's real fingerprint" \
  exits 1 reason_is "^host key of SFTP server 127.0.0.1:$port changed: it shows SHA256:$host_fp"
printf '%s\n' PROTOCOL=sftp "MOUNT_POINT=$work/card" RETRIES=1 > "$work/upload.conf"
upload --all; status=$?
check "no host key configured: fails with the fingerprint to pin" \
  exits 1 reason_is "^host key of SFTP server 127.0.0.1:$port unknown: .*HOST_KEY_SHA256=$host_fp"

conf
settings "$work/wrong" wrong-password
"$build/velmora-upload" --settings "$work/wrong" --config "$work/upload.conf" --all --state "$work/state" \
  --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
check "wrong password: exit 1, the login is refused" exits 1 reason_is "^login refused by 127.0.0.1:$port for user $user"
check "the password is in no log, nor on the command line of a run under way" \
  sh -c "grep -q velmora-upload '$work/cmdline' && ! grep -qF -e wrong-password -e '$password' '$work/ftperror.log' '$work/out' '$work/cmdline'"

settings "$work/by-key" ""
conf "KEY_FILE=$work/client" "KNOWN_HOSTS=$work/known_hosts" "HOST_KEY_SHA256="
upload --all --settings "$work/by-key"; status=$?
check "a key file login, the host checked in known_hosts: every file arrives" \
  exits 0 test "$(logins publickey)" -ge 1

[ "$failures" -eq 0 ]
