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
    (exec 3<>/dev/tcp/127.0.0.1/21) 2>/dev/null && return
    sleep 0.1
  done
}
settings() {  # file password folder
  "$build/velmora-settings" --file "$1" set ftp_serv_ip=127.0.0.1 dest_folder="$3" \
    username="$user" password="$2" > /dev/null
}
settings "$work/settings" "$password" /in/dev-7
conf() {  # extra KEY=value lines
  printf '%s\n' "MOUNT_POINT=$work/card" RETRIES=1 CONNECT_TIMEOUT=3 LOW_SPEED_TIME=5 "$@" > "$work/upload.conf"
}
upload() {
  "$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" "$@" > "$work/out" 2>&1
}
first_line() { head -n 1 "$work/ftperror.log" 2>/dev/null; }
reason_is() { first_line | grep -q -- "$1" || { echo "  error log: $(first_line)"; false; }; }
exit_is() { [ "$status" -eq "$1" ] || { echo "  exit $status, output: $(cat "$work/out")"; false; }; }
# Regular files with their checksums: what the card holds against the server.
files() { (cd "$1" && find . -type f ! -name '.*.part-*' -print0 | sort -z | xargs -0r sha1sum); }
same_files() { diff <(files "$work/card") <(files "$work/home/in/dev-7") > /dev/null; }
no_partials_under_final_names() { ! find "$work/home/in" -name '.*.part-*' -size 0 | grep -q .; }
transfers() { wc -l < "$work/xfer.log" 2>/dev/null || echo 0; }

server
conf
card=$work/card
mkdir -p "$card/logs/a" "$card/b"
for i in 1 2 3 4 5; do head -c $((i * 3000)) /dev/urandom > "$card/logs/a/day$i.bin"; done
head -c 5000 /dev/urandom > "$card/b/big file.dat"
for name in 'photo[1].jpg' '{a,b}.txt' 'with blank' '100%.csv' '#hash' 'what?' '-leading' 'grüße.txt' '*'; do
  printf '%s\n' "$name" > "$card/$name"
done
echo "outside the card" > "$work/secret"
ln -s "$work/secret" "$card/link-out"
ln -s "$work" "$card/dir-out"

upload; status=$?
check "day 1: every file arrives (exit 0)" exit_is 0
check "day 1: the server holds the card's files byte-identical, hostile names included" same_files
check "day 1: nothing outside the card is read through a symbolic link" \
  test -z "$(grep -rl 'outside the card' "$work/home" 2>/dev/null)"

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

printf 'x\n' > "$card/line"$'\n'"break"
upload; status=$?
check "a name with a line feed fails the run" exit_is 1
check "a name with a line feed is named in the error log" reason_is "could not be sent (CR or LF"
rm "$card/line"$'\n'"break"

echo "---"; cat "$work/out"; cat "$work/xfer.log" | tail -3
[ "$failures" -eq 0 ]
