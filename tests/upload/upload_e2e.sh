#!/usr/bin/env bash
# velmora-upload against a real vsftpd in a private network namespace: what
# arrives, what is sent again, what survives a cut, TLS and the failures an
# installer must be told about. Needs root; exit 77: skipped.
# usage: tests/upload/upload_e2e.sh BUILD_DIR
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: upload_e2e.sh BUILD_DIR}" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root (a network namespace, tc, tmpfs, an FTP server): skipped"
  exit 77
fi
if [ -z "${VELMORA_UPLOAD_NS:-}" ]; then
  "$src/scripts/deps" vsftpd openssl iproute2 tcpdump >&2
  export VELMORA_UPLOAD_NS=1
  exec unshare --net --mount --propagation private "$0" "$build"
fi

work=$(mktemp -d /tmp/velmora-upload.XXXXXX)
chmod 755 "$work"
ftpd=
cleanup() {
  [ -n "$ftpd" ] && kill "$ftpd" 2>/dev/null
  umount "$work/home/in" 2>/dev/null
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

user=velmoraftp
password='s3cret pass"word'
mkdir -p "$work/home" "$work/empty" "$work/state" "$work/card"
chown 4242:4242 "$work/home"
for f in passwd shadow group; do
  cp "/etc/$f" "$work/$f"
  mount --bind "$work/$f" "/etc/$f"
done
echo "$user:x:4242:4242::$work/home:/bin/sh" >> /etc/passwd
echo "$user:x:4242:" >> /etc/group
echo "$user:$(openssl passwd -6 "$password"):20000:0:99999:7:::" >> /etc/shadow

server() {  # extra vsftpd.conf lines...
  [ -n "$ftpd" ] && { kill "$ftpd"; wait "$ftpd" 2>/dev/null; }
  {
    printf '%s\n' listen=YES listen_address=127.0.0.1 background=NO anonymous_enable=NO \
      local_enable=YES write_enable=YES local_umask=022 pam_service_name=vsftpd \
      "secure_chroot_dir=$work/empty" seccomp_sandbox=NO xferlog_enable=YES \
      xferlog_std_format=YES "xferlog_file=$work/xfer.log" pasv_address=127.0.0.1
    printf '%s\n' "$@"
  } > "$work/vsftpd.conf"
  vsftpd "$work/vsftpd.conf" &
  ftpd=$!
  for _ in $(seq 50); do
    { (exec 3<>/dev/tcp/127.0.0.1/21) || (exec 3<>/dev/tcp/::1/21); } 2>/dev/null && return
    sleep 0.1
  done
}
settings() {  # file password folder
  "$build/velmora-settings" --file "$1" set ftp_serv_ip=127.0.0.1 dest_folder="$3" \
    username="$user" password="$2" > /dev/null
}
settings "$work/settings" "$password" /in/dev-7
conf() {  # KEY=value lines before the defaults (the first line of a key wins)
  printf '%s\n' "$@" "MOUNT_POINT=$work/card" RETRIES=1 CONNECT_TIMEOUT=10 LOW_SPEED_TIME=5 > "$work/upload.conf"
}
upload() {
  "$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" "$@" > "$work/out" 2>&1
}
upload_bg() {  # output-file options...: in the background, $! its pid
  local out=$1
  shift
  "$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" "$@" > "$work/$out" 2>&1 &
}
# The server's side of a killed session still writes what was in flight.
sessions_end() { while sleep 0.5; [ -n "$(pgrep -P "$ftpd")" ]; do :; done; }
first_line() { head -n 1 "$work/ftperror.log" 2>/dev/null; }
reason_is() { first_line | grep -q -- "$1" || { echo "  error log: $(first_line)"; false; }; }
exit_is() { [ "$status" -eq "$1" ] || { echo "  exit $status, output: $(cat "$work/out")"; false; }; }
# Regular files with their checksums: what the card holds against the server.
files() { (cd "$1" && find . -type f ! -name '.*.part-*' -print0 | sort -z | xargs -0r sha1sum); }
same_files() {
  diff <(files "$work/card") <(files "$work/home/in/dev-7") > "$work/diff" || { grep "^[<>]" "$work/diff" | head -n 3 | sed "s/^/  /"; false; }
}
# Files stored, less the one-byte file that reads the server's clock.
transfers() { grep -vc 'clock-probe' "$work/xfer.log" 2>/dev/null || echo 0; }

server
conf
"$build/velmora-upload" --state > "$work/out" 2>&1; status=$?
check "an option without its value is wrong usage (exit 2)" exit_is 2
card=$work/card
mkdir -p "$card/logs/a" "$card/b"
for i in 1 2 3 4 5; do head -c $((i * 3000)) /dev/urandom > "$card/logs/a/day$i.bin"; done
head -c 5000 /dev/urandom > "$card/b/big file.dat"
for name in 'photo[1].jpg' '{a,b}.txt' 'with blank' '100%.csv' '#hash' 'what?' '-leading' 'grüße.txt' '*' \
  '~user' "$(printf 'L%.0s' $(seq 250))"; do
  printf '%s\n' "$name" > "$card/$name"
done
mkdir "$card/~"
echo "a card file" > "$card/~/~"
echo "the home's own" > "$work/home/keep"
echo "outside the card" > "$work/secret"
ln -s "$work/secret" "$card/link-out"
ln -s "$work" "$card/dir-out"

upload; status=$?
check "day 1: every file arrives (exit 0)" exit_is 0
check "day 1: the server holds the card's files byte-identical, hostile names included" same_files
check "day 1: nothing outside the card is read through a symbolic link" \
  test -z "$(grep -rl 'outside the card' "$work/home" 2>/dev/null)"
check "day 1: nothing is written outside the destination folder ('~' names)" \
  test "$(cd "$work/home" && find . -mindepth 1 -path ./in -prune -o -newer "$work/home/keep" -print)" = ""

before=$(transfers)
upload; status=$?
check "day 2: nothing new, exit 0" exit_is 0
check "day 2: no file is sent again" test "$(transfers)" -eq "$before"

head -c 7000 /dev/urandom > "$card/logs/a/day6.bin"
head -c 7000 /dev/urandom > "$card/b/new.bin"
head -c 4000 /dev/urandom > "$card/logs/a/day1.bin"
touch -d '2026-01-01 00:00' "$card/logs/a/day1.bin"
before=$(transfers)
upload; status=$?
check "day 3: exit 0" exit_is 0
check "day 3: only the two new files and the changed one are sent" test "$(($(transfers) - before))" -eq 3
check "day 3: the changed file is the new one on the server" same_files

# A lost record: the server says what it has. A file of another size goes
# again however old it is, one of the same size changed since its upload too.
rm -rf "$work/state"
# Written well before the upload, as a day's files are: a listing's minute
# cannot tell apart a change made in the minute of the upload.
find "$card" -exec touch -d '10 minutes ago' {} +
head -c 4500 /dev/urandom > "$card/logs/a/day2.bin"
touch -d '2026-01-01 00:00' "$card/logs/a/day2.bin"
head -c 9000 /dev/urandom > "$card/logs/a/day3.bin"
touch -d '+2 minutes' "$card/logs/a/day3.bin"
before=$(transfers)
upload; status=$?
check "a lost record: exit 0" exit_is 0
check "a lost record: only the file of another size and the one changed since go again" \
  test "$(($(transfers) - before))" -eq 2
check "a lost record: the server holds the card's files" same_files
# The same where the server lists in its local time, nine hours ahead (the
# use_localtime=YES of Debian's vsftpd.conf): a server copy older than the
# card's change, at the same size, goes again however the listing reads.
TZ=Asia/Tokyo server use_localtime=YES
rm -rf "$work/state"
find "$card" -exec touch -d '10 minutes ago' {} +
touch -d '2 hours ago' "$work/home/in/dev-7/logs/a/day4.bin"
head -c 12000 /dev/urandom > "$card/logs/a/day4.bin"
touch -d '1 hour ago' "$card/logs/a/day4.bin"
before=$(transfers)
upload; status=$?
check "a lost record, listings in local time: the file changed since its upload goes again" \
  test "$(($(transfers) - before))" -eq 1
server

printf 'x\n' > "$card/line"$'\n'"break"
upload; status=$?
check "a name with a line feed fails the run" exit_is 1
check "a name with a line feed is named in the error log" reason_is "could not be sent (a control character"
rm "$card/line"$'\n'"break"

# A transfer cut halfway on a slow link: the server must never show the
# partial file under its real name, and the next run continues it.
head -c $((4 * 1024 * 1024)) /dev/urandom > "$card/b/large.bin"
# tbf needs a burst above the MTU: give loopback an Ethernet-sized one.
ip link set lo mtu 1500
tc qdisc add dev lo root tbf rate 4mbit burst 16kb latency 100ms
"$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
  --state "$work/state" --error-log "$work/ftperror.log" > /dev/null 2>&1 &
sleep 4
# As velmorad stops it: SIGTERM, then SIGKILL 10 s later.
kill $!
stopped_at=$SECONDS
wait $! 2>/dev/null
check "a stop ends the upload before the daemon's grace runs out" test $((SECONDS - stopped_at)) -lt 10
check "a stop is named in the error log" reason_is "stopped before every file was sent"
tc qdisc del dev lo root
# The server's side of the killed session still writes what was in flight.
while sleep 1; [ -n "$(pgrep -P "$ftpd")" ]; do :; done
partial=$(find "$work/home/in/dev-7/b" -name '.large.bin.part-*' -printf '%s')
check "a cut transfer leaves no file under its final name" test ! -e "$work/home/in/dev-7/b/large.bin"
check "a cut transfer leaves its partial file under the temporary name" test "${partial:-0}" -gt 0
stored_bytes() { grep -v 'clock-probe' "$work/xfer.log" | awk '{ s += $8 } END { print s + 0 }'; }
before=$(stored_bytes)
upload; status=$?
check "after a cut: exit 0" exit_is 0
check "after a cut: the large file is whole on the server" same_files
check "after a cut: only the missing part is sent" \
  test "$(($(stored_bytes) - before))" -eq $((4 * 1024 * 1024 - partial))

# Another cut, then the file changes: its old temporary file must go. And a
# second run while the first is sending waits instead of sharing its files.
slow() { tc qdisc add dev lo root tbf rate "${1:-4mbit}" burst 16kb latency 100ms; }
head -c $((4 * 1024 * 1024)) /dev/urandom > "$card/b/large.bin"
slow
upload_bg out; sleep 3; kill $!; wait $!
sessions_end
upload_bg out; first=$!
sleep 1
upload_bg out2; second=$!
upload_bg out3 --state "$work/state-other"; third=$!
sleep 2
check "two runs: the second says whose run it waits for" grep -q "another upload (pid $first)" "$work/out2"
check "two runs, two state folders: the second waits for the card" grep -q "another upload is reading the card" "$work/out3"
tc qdisc del dev lo root
wait "$first"; status=$?
check "two runs: the first ends well" exit_is 0
wait "$second"; status=$?
check "two runs: the second ends well" exit_is 0
wait "$third"
check "two runs: the server holds the card's files whole" same_files
check "two runs: the record holds the large file at its size" \
  sh -c "'$build/velmora-upload' --settings '$work/settings' --config '$work/upload.conf' --state '$work/state' \
    --recorded | grep -q '^b/large.bin	$((4 * 1024 * 1024))	'"
head -c $((4 * 1024 * 1024)) /dev/urandom > "$card/b/large.bin"
slow
upload_bg out; sleep 3; kill $!; wait $!
sessions_end
tc qdisc del dev lo root
head -c $((4 * 1024 * 1024)) /dev/urandom > "$card/b/large.bin"
upload; status=$?
check "the temporary file of a version no longer on the card is removed" \
  test -z "$(find "$work/home/in" -name '.large.bin.part-*')"

# A card written while it is mounted: the file that grows goes as it was
# measured, the files after it go too, and its new version goes next time.
# (Larger than the socket buffers, so that it is still being read.)
head -c $((16 * 1024 * 1024)) /dev/urandom > "$card/b/large.bin"
echo after > "$card/b/z-after.txt"
slow 40mbit
upload_bg out; first=$!
sleep 1
head -c 100000 /dev/urandom >> "$card/b/large.bin"
tc qdisc del dev lo root
wait "$first"; status=$?
check "a file growing while sent: exit 0, the files after it sent" \
  sh -c "[ $status -eq 0 ] && test -f '$work/home/in/dev-7/b/z-after.txt'"
check "a file growing while sent: its measured size is on the server" \
  test "$(stat -c %s "$work/home/in/dev-7/b/large.bin")" -eq $((16 * 1024 * 1024))
upload; status=$?
check "a file grown while sent: its new version goes next time" same_files

settings "$work/wrong" wrong /in/dev-7
"$build/velmora-upload" --settings "$work/wrong" --config "$work/upload.conf" --all \
  --state "$work/state" --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
check "wrong password: exit 1" exit_is 1
check "wrong password: the error log says the login was refused" reason_is "^login refused by 127.0.0.1 for user $user"
check "wrong password: the password is in no log" test -z "$(grep -rlF "$password" "$work/ftperror.log" "$work/out")"

# TLS with a certificate made here; a second one stands for a wrong CA.
for name in cert other; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/$name.key" -out "$work/$name.pem" 2> /dev/null
done
server ssl_enable=YES "rsa_cert_file=$work/cert.pem" "rsa_private_key_file=$work/cert.key"
conf TLS=require "CA_FILE=$work/cert.pem" RETRIES=3
tcpdump -i lo -U -w "$work/capture" tcp > /dev/null 2>&1 &
sniffer=$!
sleep 1
upload --all; status=$?
sleep 1
kill "$sniffer"; wait "$sniffer" 2>/dev/null
check "TLS required and offered: exit 0" exit_is 0
check "TLS required and offered: the files arrive" same_files
check "TLS: the capture of the session does not hold the password" test -z "$(grep -aF "$password" "$work/capture")"
check "TLS: the capture saw the session (its clear-text AUTH)" grep -aqF "AUTH SSL" "$work/capture"
conf TLS=require "CA_FILE=$work/other.pem"
upload --all; status=$?
check "TLS with a wrong CA: exit 1" exit_is 1
check "TLS with a wrong CA: the error log says the certificate is not trusted" reason_is "^certificate of FTP server 127.0.0.1 not trusted"
# Implicit TLS: the server speaks TLS from its first byte, on port 990.
server ssl_enable=YES implicit_ssl=YES listen_port=990 "rsa_cert_file=$work/cert.pem" "rsa_private_key_file=$work/cert.key"
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/990) 2> /dev/null && break; sleep 0.1; done
conf TLS=implicit "CA_FILE=$work/cert.pem"
upload --all; status=$?
check "implicit TLS: exit 0" exit_is 0
check "implicit TLS: the files arrive" same_files
conf TLS=implicit "CA_FILE=$work/other.pem"
upload --all; status=$?
check "implicit TLS with a wrong CA: the certificate is not trusted" reason_is "^certificate of FTP server 127.0.0.1 not trusted"
server
conf TLS=require "CA_FILE=$work/cert.pem"
upload --all; status=$?
check "TLS required, server without TLS: exit 1" exit_is 1
check "TLS required, server without TLS: the error log says so" reason_is "^TLS required but not offered"

# The server's disk full: a tiny tmpfs as the device's folder. Said at the
# first cut, and not tried again: eight tries would take minutes.
conf RETRIES=8
mkdir -p "$work/home/in/full"
mount -t tmpfs -o size=256k,uid=4242,gid=4242 tmpfs "$work/home/in/full"
settings "$work/full" "$password" /in/full
timeout 60 "$build/velmora-upload" --settings "$work/full" --config "$work/upload.conf" \
  --state "$work/state-full" --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
check "server disk full: exit 1, without trying again" exit_is 1
check "server disk full: the error log says so" reason_is "^server disk full"
check "server disk full: the file that did not fit is not recorded as sent" \
  test -z "$(grep -as '^=.*large.bin' "$work/state-full/journal")"
check "server disk full: no partial file under a final name" test ! -e "$work/home/in/full/b/large.bin"
umount "$work/home/in/full"

# Sessions the server turns away give their files back; a server that turns
# every session away is waited for, and named busy when the wait is over.
server max_clients=2
conf SESSIONS=4
upload --all; status=$?
check "a server that takes two of four sessions: every file still goes (exit 0)" exit_is 0
check "a server that takes two of four sessions: the server holds the card's files" same_files
# One session per address: a session that is done hands its slot on, so
# the other never waits for the uploader's own idle login.
server max_per_ip=1
mkdir -p "$work/card-two"
echo one > "$work/card-two/1.txt"
echo two > "$work/card-two/2.txt"
settings "$work/settings-two" "$password" /in/two
conf SESSIONS=2 BUSY_WAIT=2
failed=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
  upload --all --settings "$work/settings-two" --card "$work/card-two" --state "$work/state-two" || { failed=$((failed + 1)); sed 's/^/  /' "$work/out"; }
done
check "one session per address: ten runs of two sessions end well" test "$failed" -eq 0
conf
server max_clients=1
hold() { (exec 3<>/dev/tcp/127.0.0.1/21; sleep "$1") & holder=$!; sleep 0.3; }
hold 4
upload --all; status=$?
check "a server busy for 4 s is waited for: exit 0" exit_is 0
hold 30
conf BUSY_WAIT=3
upload --all; status=$?
kill "$holder" 2> /dev/null
check "a server busy for longer than BUSY_WAIT: named busy, not unreachable" reason_is "^FTP server 127.0.0.1 busy"

conf
kill "$ftpd"; wait "$ftpd" 2>/dev/null; ftpd=
upload --all; status=$?
check "server stopped: exit 1" exit_is 1
check "server stopped: the error log says the server is unreachable" reason_is "^FTP server 127.0.0.1 unreachable"
conf TIME_BUDGET=6 RETRIES=20
started=$SECONDS
upload --all; status=$?
check "a time budget ends the retries in time" test $((SECONDS - started)) -le 8
check "a time budget keeps the real cause first" reason_is "^FTP server 127.0.0.1 unreachable"
conf TIME_BUDGET=2 RETRIES=0
server
slow
upload --all; status=$?
tc qdisc del dev lo root
check "a transfer the budget cuts short is no cause: the budget is named first" reason_is "^the time budget of 2 s"
server
# Killed outright while a small file goes on a slow link: its temporary
# file is known to the next runs all the same.
head -c 200000 /dev/urandom > "$card/slow.bin"
conf MAX_RATE=20000
upload_bg out; sleep 1; kill -KILL $!; wait $! 2> /dev/null
sessions_end
echo changed >> "$card/slow.bin"
conf
upload; status=$?
check "a power cut's temporary file of a changed small file is removed" \
  test -z "$(find "$work/home/in" -name '.slow.bin.part-*')"

# Killed at random moments of runs over four sessions: the record then lists
# only files that are whole on the server (those the card still holds at the
# recorded size and time).
recorded_whole() {
  local path size mtime bad=0
  while IFS=$'\t' read -r path size mtime; do
    [ "$(stat -c '%s %Y' "$card/$path" 2> /dev/null)" = "$size $mtime" ] || continue
    cmp -s "$card/$path" "$work/home/in/dev-7/$path" && continue
    [ "$bad" -gt 0 ] || echo "  first: $path $(cmp "$card/$path" "$work/home/in/dev-7/$path" 2>&1 | head -c 200)"
    bad=$((bad + 1))
  done < <("$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --recorded)
  [ "$bad" -eq 0 ] || { echo "  $bad recorded files are not whole on the server"; false; }
}
conf MAX_RATE=200000 SESSIONS=4
mkdir -p "$card/crash"
for round in 1 2 3 4 5 6; do
  for i in $(seq 1 30); do head -c 20000 /dev/urandom > "$card/crash/r$round-$i.bin"; done
  upload_bg out; sleep "$((RANDOM % 3)).$((RANDOM % 10))"; kill -KILL $!; wait $! 2> /dev/null
  sessions_end
done
check "killed at random moments: every file in the record is whole on the server" recorded_whole
conf
upload; status=$?
check "killed at random moments: the next run ends well" exit_is 0
check "killed at random moments: the next run completes the card" same_files
"$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" --state /proc/velmora \
  --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
check "a state folder that cannot be written fails the run with its reason" reason_is "state folder /proc/velmora not writable"
kill "$ftpd"; wait "$ftpd" 2>/dev/null; ftpd=
conf TIME_BUDGET=3000000000
upload; status=$?
check "an option out of range is named in the error log" reason_is "TIME_BUDGET=3000000000 is out of range"
conf "TSL=require"
upload; status=$?
check "a misspelt option is named, not left to its default" reason_is 'line 1 "TSL=require" is not one of the options'
conf
mkdir "$work/full-var"
mount -t tmpfs -o size=4k tmpfs "$work/full-var"
head -c 4096 /dev/zero > "$work/full-var/filler" 2> /dev/null
"$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
  --state "$work/state" --error-log "$work/full-var/ftperror.log" --all > "$work/out" 2>&1
check "a full /var: the error log that cannot be written is said, not left empty" \
  sh -c "grep -q 'cannot write the error log' '$work/out' && test ! -e '$work/full-var/ftperror.log'"
umount "$work/full-var"

# Eight devices at once against a server that takes two: they wait their turn.
server max_clients=2
conf RETRIES=8
pids=()
for i in 1 2 3 4 5 6 7 8; do
  settings "$work/s$i" "$password" "/in/many-$i"
  "$build/velmora-upload" --settings "$work/s$i" --config "$work/upload.conf" \
    --state "$work/state-$i" --error-log "$work/error-$i.log" > /dev/null 2>&1 &
  pids+=($!)
done
late=0
for i in 1 2 3 4 5 6 7 8; do
  wait "${pids[$((i - 1))]}" || late=$((late + 1))
  diff <(files "$work/card") <(files "$work/home/in/many-$i") > /dev/null || late=$((late + 1))
done
[ "$late" -eq 0 ] || head -n 1 "$work"/error-*.log
check "eight devices, two connections: every device's files arrive" test "$late" -eq 0

# A server expands a leading '~' to the account's home, which need not be
# where the login lands: the destination folder here is the login folder.
mkdir -p "$work/home/in/root" "$work/tilde/~"
chown 4242:4242 "$work/home/in/root"
echo "a card file" > "$work/tilde/~/keep"
server "local_root=$work/home/in/root"
"$build/velmora-settings" --file "$work/s7" set ftp_serv_ip=127.0.0.1 dest_folder= username="$user" \
  password="$password" > /dev/null
"$build/velmora-upload" --settings "$work/s7" --config "$work/upload.conf" --card "$work/tilde" \
  --state "$work/state-tilde" --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
check "a card folder named '~' stays in the destination folder" \
  sh -c "grep -q \"the home's own\" '$work/home/keep' && test -f '$work/home/in/root/~/keep'"

server listen=NO listen_ipv6=YES listen_address6=::1
for address in ::1 '[::1]:21'; do
  "$build/velmora-settings" --file "$work/s6" set ftp_serv_ip="$address" dest_folder=/in/v6 > /dev/null
  "$build/velmora-upload" --settings "$work/s6" --config "$work/upload.conf" --all \
    --state "$work/state-v6" --error-log "$work/ftperror.log" > "$work/out" 2>&1; status=$?
  check "an IPv6 address ($address): every file arrives" exit_is 0
done
[ "$failures" -eq 0 ]
