#!/usr/bin/env bash
# velmora-upload against the FTP servers devices meet in the field: vsftpd,
# proftpd and pure-ftpd as Debian ships them, and quirk_ftpd.py (pyftpdlib)
# for the odd behaviour none of them shows. One card for all of them.
# Each cell prints "SERVER CELL ok" or "SERVER CELL FAIL: why"; a table ends
# the run. Needs root; exit 77: skipped.
# usage: tests/upload/matrix.sh BUILD_DIR [vsftpd|proftpd|pure-ftpd|quirk|quirks]...
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
here=$src/tests/upload
build=$(cd "${1:?usage: matrix.sh BUILD_DIR [SERVER]...}" && pwd)
shift
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(vsftpd proftpd pure-ftpd quirk quirks)
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root (a network namespace, tc, FTP servers on port 21): skipped"
  exit 77
fi
# proftpd and pure-ftpd conflict with the vsftpd package: they run unpacked.
cache=${VELMORA_FTPD_CACHE:-/var/cache/velmora-ftpd}
if [ -z "${VELMORA_MATRIX_NS:-}" ]; then
  "$src/scripts/deps" vsftpd openssl iproute2 tcpdump python3-pyftpdlib python3-openssl \
    libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 >&2 || exit 1
  mkdir -p "$cache"
  for pkg in proftpd-core proftpd-mod-crypto pure-ftpd; do
    compgen -G "$cache/${pkg}_*.deb" > /dev/null && continue
    (cd "$cache" && { apt-get -qq download "$pkg" || { apt-get -qq update && apt-get -qq download "$pkg"; }; }) >&2 ||
      { echo "cannot fetch $pkg"; exit 1; }
  done
  export VELMORA_MATRIX_NS=1
  exec unshare --net --mount --propagation private "$0" "$build" "${servers[@]}"
fi

started=$SECONDS
work=$(mktemp -d /tmp/velmora-matrix.XXXXXX)
chmod 755 "$work"
ftpd='' sniffer=''
cleanup() {
  [ -n "$sniffer" ] && kill "$sniffer" 2>/dev/null
  [ -n "$ftpd" ] && kill "$ftpd" 2>/dev/null
  rm -f "$work/passwd" "$work/shadow" "$work/group"
  if [ -n "${VELMORA_MATRIX_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
ip link set lo up
# tbf needs a burst above the MTU: loopback gets an Ethernet-sized one.
ip link set lo mtu 1500

pkgroot=$work/pkg
for deb in proftpd-core proftpd-mod-crypto pure-ftpd; do
  dpkg -x "$(printf '%s\n' "$cache/${deb}"_*.deb | sort -V | tail -n 1)" "$pkgroot"
done

user=user   # so that a server expanding "~user" lands in the account's own home
password='s3cret pass"word'
home=$work/home
dest=$home/in/dev-7
mkdir -p "$home" "$work/empty"
chown 4242:4242 "$home"
for f in passwd shadow group; do
  cp "/etc/$f" "$work/$f"
  mount --bind "$work/$f" "/etc/$f"
done
{
  echo "$user:x:4242:4242::$home:/bin/sh"
  echo "proftpd:x:4243:65534::/run/proftpd:/usr/sbin/nologin"   # what its postinst adds
} >> /etc/passwd
echo "$user:x:4242:" >> /etc/group
echo "$user:$(openssl passwd -6 "$password"):20000:0:99999:7:::" >> /etc/shadow
echo "not for the uploader" > "$home/sentinel.txt"
sentinel_sum=$(sha1sum < "$home/sentinel.txt")
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$work/cert.key" -out "$work/cert.pem" 2> /dev/null

# The card: 300 plain files, names a shell or an FTP server may take for
# something else, a folder "~" and one "~user", a name of 250 bytes (the
# temporary name must be shortened) and a file big enough to be resumed.
master=$work/card-master
for d in 1 2 3 4 5 6; do
  mkdir -p "$master/logs/day $d"
  for i in $(seq -w 1 50); do
    head -c $((RANDOM % 4000 + 1)) /dev/urandom > "$master/logs/day $d/r$i.csv"
  done
done
# shellcheck disable=SC2016
hostile=('photo[1].jpg' '[abc]' '{a,b}.txt' '{}' 'with blank' 'two  blanks' '100%.csv' '%2e%2e' '%s%n'
  '#hash' 'a#b' 'what?' '?' '*' 'star*.log' '-leading' '--help' '-' 'grüße.txt' '日本語.csv'
  'emoji 😀.txt' "it's" 'semi;colon' 'amp&er' 'dollar$HOME' 'back`tick`' '..more' '(paren)' '~')
for folder in . '~' '~user' '[dir] {x} #1' '-dash dir'; do
  mkdir -p "$master/$folder"
  for name in "${hostile[@]}"; do
    [ "$folder/$name" = './~' ] && continue   # the folder "~" is there
    { printf '%s\n' "$name"; head -c 64 /dev/urandom; } > "$master/$folder/$name"
  done
done
long="long-$(printf 'ä%.0s' $(seq 120))x.bin"
printf '%s\n' "$long" > "$master/$long"
mkdir -p "$master/video"
head -c $((6 * 1024 * 1024)) /dev/urandom > "$master/video/large.bin"
find "$master" -exec touch -d '2 days ago' {} +
card_files=$(find "$master" -type f | wc -l)
card=$work/card
fresh_card() { rm -rf "$card"; cp -a "$master" "$card"; }

# --- the uploader
settings() {  # file password folder
  "$build/velmora-settings" --file "$1" set ftp_serv_ip=127.0.0.1 dest_folder="$3" \
    username="$user" password="$2" > /dev/null
}
settings "$work/settings" "$password" /in/dev-7
settings "$work/wrong" wrong /in/dev-7
conf() {  # KEY=value lines before the defaults (the first line of a key wins)
  printf '%s\n' "$@" TLS=off "MOUNT_POINT=$card" RETRIES=1 CONNECT_TIMEOUT=10 LOW_SPEED_TIME=5 > "$work/upload.conf"
}
upload() {  # [--settings FILE] [OPTION]...: status is its exit status
  local settings=$work/settings
  [ "${1:-}" = --settings ] && { settings=$2; shift 2; }
  timeout -k 5 60 "$build/velmora-upload" --settings "$settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" "$@" > "$work/out" 2>&1
  status=$?
}
first_line() { head -n 1 "$work/ftperror.log" 2>/dev/null; }

# --- what a cell finds
why=
fault() { why="${why:+$why; }$1"; }
exit_is() {  # status [when]: the run's exit status must be this
  case $status in
    "$1") ;;
    124 | 137) fault "still running after 60 s${2:+ }${2:-}, killed: $(first_line)" ;;
    *) fault "exit $status, not $1${2:+ }${2:-}: $(first_line)" ;;
  esac
}
reason_is() {  # pattern: the error log's first line must match
  first_line | grep -Eq -- "$1" || fault "error log says \"$(first_line)\", not /$1/"
}
sums() { (cd "$1" && find . -type f ! -name '*.part-*' -print0 | sort -z | xargs -0r sha1sum); }
differing() { diff <(sums "$card") <(sums "${1:-$dest}") | grep '^<'; }
same_files() {  # the server holds the card's files byte-identical
  local got
  got=$(differing)
  [ -z "$got" ] || fault "$(wc -l <<< "$got") card files missing or different on the server, first: $(head -n 1 <<< "$got" | cut -c 45-)"
}
# Uploads the server saw beyond `expected`, less the retries (RETRIES=1)
# of files that were not there before the run.
sent_beyond() {  # expected missing-before
  local extra=$(($(stores) - before - $1))
  [ "$extra" -le $((2 * $2)) ] || fault "$extra uploads of files the server already had${3:-}"
}
# Every file under its final name is the card's, whole (the large file may
# still be yesterday's whole version when `old` names its checksum).
finals_whole() {
  local f bad=0 first=
  while IFS= read -r -d '' f; do
    cmp -s "$dest/$f" "$card/$f" && continue
    [ "$f" = ./video/large.bin ] && [ "$(sha1sum < "$dest/$f")" = "${old:-}" ] && continue
    bad=$((bad + 1)); first=${first:-$f}
  done < <(cd "$dest" 2>/dev/null && find . -type f ! -name '*.part-*' -print0)
  [ "$bad" -eq 0 ] || fault "$bad files under their final name are not the card's, first: $first ($(stat -c %s "$dest/$first") of $(stat -c %s "$card/$first" 2>/dev/null) bytes)"
}
# "SIZE MTIME PATH" of each confirmed file: the record, then its journal.
recorded() {
  { tail -n +2 "$work/state/uploaded"; sed -n 's/^= \(.*\) [0-9a-f]\{8\}$/\1/p' "$work/state/journal"; } 2>/dev/null
}
# Every file in the record is on the server whole.
recorded_whole() {
  local path bad=0 first=
  while read -r _ _ path; do
    path=$(printf '%b' "${path//%/\\x}")
    cmp -s "$dest/$path" "$card/$path" && continue
    bad=$((bad + 1)); first=${first:-$path}
  done < <(recorded)
  [ "$bad" -eq 0 ] || fault "$bad recorded files are not whole on the server, first: $first"
}
no_parts() {
  local left
  left=$(find "$home/in" -name '*.part-*' | head -n 1)
  [ -z "$left" ] || fault "temporary file left: ${left#"$dest"/}"
}
# Files stored, less the one-byte file that reads the server's clock.
stores() { if [ -f "$xferlog" ]; then grep -vc clock-probe "$xferlog"; else echo 0; fi; }
# A run stopped as velmorad stops it, while the large file crawls.
cut_run() {
  tc qdisc add dev lo root tbf rate 4mbit burst 16kb latency 100ms
  "$build/velmora-upload" --settings "$work/settings" --config "$work/upload.conf" \
    --state "$work/state" --error-log "$work/ftperror.log" > "$work/out" 2>&1 &
  local pid=$! guard
  sleep 3
  kill -TERM "$pid"
  # velmorad's grace before SIGKILL
  { sleep 10; kill -KILL "$pid"; } 2>/dev/null &
  guard=$!
  wait "$pid"
  kill "$guard" 2>/dev/null
  tc qdisc del dev lo root
  sleep 1   # the server's side writes out what was in flight
}
change_large() {
  head -c $((6 * 1024 * 1024)) /dev/urandom > "$card/video/large.bin"
  touch -d '1 hour ago' "$card/video/large.bin"
}

# --- the verdicts
results=()
cell() {  # server name function: runs the cell, prints its line
  why=
  "$3"
  local verdict=ok line
  case $why in
    '') line="$1 $2 ok" ;;
    cannot:*) verdict=cannot line="$1 $2 cannot: ${why#cannot:}" ;;
    *) verdict=FAIL line="$1 $2 FAIL: $why" ;;
  esac
  # A name of 250 bytes said once is enough: runs of a character are cut short.
  LC_ALL=C.UTF-8 sed -E 's/(.)\1{7,}/\1\1\1…/g' <<< "$line"
  results+=("$1|$2|$verdict")
}

# --- the servers, each on 127.0.0.1:21 as root, as a device would find them
wait_port() {  # open|closed
  for _ in $(seq 100); do
    if (exec 3<>/dev/tcp/127.0.0.1/21) 2>/dev/null; then [ "$1" = open ] && return 0
    else [ "$1" = closed ] && return 0; fi
    sleep 0.1
  done
  return 1
}
stop_server() {
  [ -n "$ftpd" ] || return 0
  kill "$ftpd" 2>/dev/null
  wait "$ftpd" 2>/dev/null
  ftpd=
  wait_port closed
}
start_vsftpd() {  # extra vsftpd.conf lines...
  stop_server
  xferlog=$work/vsftpd.xfer
  {
    printf '%s\n' listen=YES listen_address=127.0.0.1 background=NO anonymous_enable=NO \
      local_enable=YES write_enable=YES local_umask=022 pam_service_name=vsftpd \
      "secure_chroot_dir=$work/empty" seccomp_sandbox=NO xferlog_enable=YES \
      xferlog_std_format=YES "xferlog_file=$xferlog" pasv_address=127.0.0.1
    printf '%s\n' "$@"
  } > "$work/vsftpd.conf"
  vsftpd "$work/vsftpd.conf" > "$work/server.log" 2>&1 &
  ftpd=$!
}
# Debian's own proftpd.conf and modules.conf, with mod_tls loaded and the
# shipped tls.conf switched on; only the paths move into the work folder.
start_proftpd() {
  stop_server
  local t=$pkgroot/usr/share/proftpd/templates c=$work/proftpd
  mkdir -p "$c"
  xferlog=$c/xferlog
  sed -e "s|^ModulePath .*|ModulePath $pkgroot/usr/lib/proftpd|" -e 's|^#\(LoadModule mod_tls.c\)|\1|' \
    "$t/modules.conf" > "$c/modules.conf"
  sed -e 's/^#\(TLSEngine\|TLSLog\|TLSRSACertificateFile\|TLSRSACertificateKeyFile\)\b/\1/' \
    -e "s|/var/log/proftpd/|$c/|" -e "s|/etc/ssl/certs/proftpd.crt|$work/cert.pem|" \
    -e "s|/etc/ssl/private/proftpd.key|$work/cert.key|" "$t/tls.conf" > "$c/tls.conf"
  sed -e "s|^Include /etc/proftpd/modules.conf|Include $c/modules.conf|" \
    -e "s|^#Include /etc/proftpd/tls.conf|Include $c/tls.conf|" \
    -e 's|^Include /etc/proftpd/conf.d/|#&|' -e "s|/var/log/proftpd/|$c/|" "$t/proftpd.conf" > "$c/proftpd.conf"
  # Where the package keeps its run-time files, /run/proftpd, is not there.
  printf '%s\n' "ScoreboardFile $c/scoreboard" "PidFile $c/pid" "DelayTable $c/delay" "WtmpLog off" >> "$c/proftpd.conf"
  "$pkgroot/usr/sbin/proftpd" -n -c "$c/proftpd.conf" > "$work/server.log" 2>&1 &
  ftpd=$!
}
# The flags pure-ftpd-wrapper makes of Debian's /etc/pure-ftpd/conf, plus TLS.
start_pure_ftpd() {
  stop_server
  xferlog=$work/pure-ftpd.xfer
  "$pkgroot/usr/sbin/pure-ftpd" -S 127.0.0.1,21 -l pam -O "clf:$xferlog" -u 1000 -E -J HIGH \
    -Y 1 -2 "$work/cert.pem,$work/cert.key" > "$work/server.log" 2>&1 &
  ftpd=$!
}
start_vsftpd_tls() { start_vsftpd ssl_enable=YES "rsa_cert_file=$work/cert.pem" "rsa_private_key_file=$work/cert.key"; }
start_quirk_tls() { start_quirk --tls "$work/cert.pem" "$work/cert.key"; }
start_quirk() {  # quirk flags...
  stop_server
  xferlog=$work/quirk.xfer
  rm -f "$xferlog"
  /usr/bin/python3 -B "$here/quirk_ftpd.py" --home "$home" --user "$user" --password "$password" \
    --uid 4242 --gid 4242 --xferlog "$xferlog" "$@" > "$work/server.log" 2>&1 &
  ftpd=$!
}
started_ok() {
  wait_port open && return 0
  not_started="server did not start: $(tail -n 2 "$work/server.log" | tr '\n' ' ')"
  return 1
}
did_not_start() { fault "$not_started"; }
fresh_server_side() {
  find "$home" -mindepth 1 -maxdepth 1 ! -name sentinel.txt -exec rm -rf {} +
  rm -rf "$work/state" "$work"/state-* "$work/ftperror.log"
}

# --- the cells every server runs
day1() { upload; exit_is 0; same_files; }
day2() {
  local missing
  missing=$(differing | wc -l)
  before=$(stores)
  upload; exit_is 0
  sent_beyond 0 "$missing" " (after $missing files missing, each tried twice at most)"
}
day3() {
  local missing
  head -c 7000 /dev/urandom > "$card/logs/day 1/new.csv"
  head -c 7000 /dev/urandom > "$card/~/new [2].csv"
  head -c 5000 /dev/urandom > "$card/logs/day 2/r01.csv"
  touch -d '1 day ago' "$card/logs/day 2/r01.csv"
  missing=$(($(differing | wc -l) - 3))
  before=$(stores)
  upload; exit_is 0; same_files
  sent_beyond 3 "$missing"
  [ "$(($(stores) - before))" -ge 3 ] || fault "$(($(stores) - before)) files sent, not the 3 new or changed"
}
resumed() {
  old=$(sha1sum < "$dest/video/large.bin" 2>/dev/null)
  change_large
  cut_run
  finals_whole
  old=
  upload; exit_is 0 "on the run after the stop"; same_files
}
already_there() {
  # Yesterday's record lost; one server file is not what the card holds.
  rm -rf "$work/state"
  # Written well before the upload, as a day's files are.
  find "$card" -exec touch -d '10 minutes ago' {} +
  printf 'stale\n' 2>/dev/null > "$dest/logs/day 3/r07.csv"
  before=$(stores)
  upload; exit_is 0; same_files; no_parts
  sent_beyond 1 0 " after the record was lost (one listing a folder tells what is there)"
}
hostile_names() {
  local stray
  stray=$(cd "$home" && find . -mindepth 1 ! -path ./in ! -path ./in/dev-7 ! -path './in/dev-7/*' ! -path ./sentinel.txt)
  [ -z "$stray" ] || fault "$(wc -l <<< "$stray") files or folders written outside the destination folder, e.g. $(head -n 3 <<< "$stray" | tr '\n' ' ')"
  [ "$(sha1sum < "$home/sentinel.txt")" = "$sentinel_sum" ] || fault "the sentinel file beside it was changed"
}
capture() {  # start|stop: the password must never cross loopback in clear text
  if [ "$1" = start ]; then
    tcpdump -i lo -U -w "$work/capture" tcp > /dev/null 2>&1 &
    sniffer=$!
    sleep 1
  else
    sleep 0.5
    kill "$sniffer"; wait "$sniffer" 2>/dev/null; sniffer=
    ! grep -aqF "$password" "$work/capture" || fault "the password crossed the network in clear text"
  fi
}
tls_require() {
  conf TLS=require "CA_FILE=$work/cert.pem"
  capture start
  upload --all; exit_is 0; same_files
  capture stop
}
tls_auto() {
  conf TLS=auto
  head -c 3000 /dev/urandom > "$card/logs/day 4/r02.csv"
  capture start
  upload; exit_is 0; same_files
  capture stop
}
wrong_password() {
  upload --settings "$work/wrong" --all; exit_is 1; reason_is "^login refused by 127\.0\.0\.1 for user $user"
}
server_stopped() {
  stop_server
  upload --all; exit_is 1; reason_is '^FTP server 127\.0\.0\.1 unreachable'
}

run_server() {  # name start-function [TLS start-function]
  local name=$1 start=$2 tls_start=${3:-} c
  fresh_card; fresh_server_side; conf
  "$start"
  if ! started_ok; then
    for c in day1 day2 day3 killed-resumed already-there hostile-names tls-require tls-auto wrong-password server-stopped; do
      cell "$name" "$c" did_not_start; done
    return
  fi
  cell "$name" day1 day1
  cell "$name" day2 day2
  cell "$name" day3 day3
  cell "$name" killed-resumed resumed
  cell "$name" already-there already_there
  cell "$name" hostile-names hostile_names
  if [ -n "$tls_start" ]; then "$tls_start"; wait_port open; fi
  cell "$name" tls-require tls_require
  cell "$name" tls-auto tls_auto
  conf TLS=auto
  cell "$name" wrong-password wrong_password
  cell "$name" server-stopped server_stopped
}

# --- the quirks, one server start each
quirk() {  # cell function quirk-flags...: a fresh card, server side and record
  local name=$1 fn=$2
  shift 2
  fresh_card; fresh_server_side; conf
  start_quirk "$@"
  if started_ok; then cell quirk "$name" "$fn"; else cell quirk "$name" did_not_start; fi
  stop_server
}
# The server cannot do it: the uploader must say so once, for the server,
# not file by file, and not send the whole card again every day.
q_no_size() {
  upload; exit_is 1
  first_line | grep -v '^file ' | grep -i 'size' | grep -q '127\.0\.0\.1' ||
    fault "error log says \"$(first_line)\", not that the server cannot confirm sizes"
  before=$(stores)
  upload
  [ "$(($(stores) - before))" -lt "$card_files" ] || fault "the whole card is sent again the next day"
  [ -n "$why" ] || why="cannot:$(first_line)"
}
q_works() { upload; exit_is 0; same_files; }
q_rnto_refused() {
  upload; exit_is 0 "on day 1"
  head -c 5000 /dev/urandom > "$card/logs/day 2/r01.csv"
  upload; exit_is 0 "on a changed file"; same_files; no_parts
}
q_no_rest() {
  upload; exit_is 0 "on day 1"
  change_large
  cut_run
  [ -n "$(find "$dest/video" -name '.large.bin.part-*' -size +0)" ] || fault "the stopped run left no partial file"
  upload; exit_is 0 "after a stopped run"; same_files
}
q_consistent() { upload; exit_is 1; finals_whole; recorded_whole; }
q_truncating() {
  upload; exit_is 1; finals_whole
  [ "$(recorded | wc -l)" -eq 0 ] || fault "$(recorded | wc -l) files recorded as sent"
}
q_escapes() {
  upload --settings "$work/wrong"; exit_is 1
  ! grep -q $'\e' "$work/ftperror.log" "$work/out" || fault "a raw escape sequence reached the error log or stderr"
  grep -qF '\x1b[2J' "$work/ftperror.log" || fault "the reply's escape is not shown: $(first_line)"
}
q_resets() {
  conf RETRIES=4
  upload; finals_whole; recorded_whole
  ! first_line | grep -q 'disk full' || fault "a reset connection is named \"$(first_line)\""
}
q_busy() {
  local i pids=() late=0 incomplete=0 first=
  conf RETRIES=8
  for i in 1 2 3 4; do
    settings "$work/s$i" "$password" "/in/many-$i"
    timeout -k 5 300 "$build/velmora-upload" --settings "$work/s$i" --config "$work/upload.conf" \
      --state "$work/state-$i" --error-log "$work/error-$i.log" > /dev/null 2>&1 &
    pids+=($!)
  done
  for i in 1 2 3 4; do
    wait "${pids[$((i - 1))]}" || { late=$((late + 1)); first=${first:-$i}; }
  done
  [ "$late" -eq 0 ] || fault "$late of 4 uploaders failed, uploader $first: $(head -n 1 "$work/error-$first.log")"
  for i in 1 2 3 4; do [ -z "$(differing "$home/in/many-$i")" ] || incomplete=$((incomplete + 1)); done
  [ "$incomplete" -eq 0 ] || fault "$incomplete of 4 folders incomplete on the server"
}

for server in "${servers[@]}"; do
  case $server in
    vsftpd) run_server vsftpd start_vsftpd start_vsftpd_tls ;;
    proftpd) run_server proftpd start_proftpd ;;
    pure-ftpd) run_server pure-ftpd start_pure_ftpd ;;
    quirk) run_server quirk start_quirk_tls ;;
    quirks)
      quirk no-size-no-mlst q_no_size --no-size --no-mlst
      quirk mlst-no-size q_works --no-size
      quirk rnto-refused q_rnto_refused --rnto-no-overwrite
      quirk pasv-only q_works --pasv-only
      quirk multi-line q_works --multiline
      quirk no-rest-appe q_no_rest --no-rest-appe
      quirk size-lies q_consistent --size-lies
      quirk truncating-stor q_truncating --truncate-stor
      quirk data-resets q_resets --reset-data 65536,3
      quirk too-many-users q_busy --max-sessions 2
      quirk escapes q_escapes --escapes
      ;;
    *) echo "unknown server $server"; exit 2 ;;
  esac
done
stop_server

# --- the table
echo
declare -A verdict
rows=() cols=()
for r in "${results[@]}"; do
  IFS='|' read -r s c v <<< "$r"
  verdict[$s|$c]=$v
  [[ " ${rows[*]} " == *" $s "* ]] || rows+=("$s")
  [[ " ${cols[*]} " == *" $c "* ]] || cols+=("$c")
done
failed=0
printf '%-16s' cell; printf ' %-9s' "${rows[@]}"; echo
for c in "${cols[@]}"; do
  printf '%-16s' "$c"
  for s in "${rows[@]}"; do
    v=${verdict[$s|$c]:--}
    [ "$v" = FAIL ] && failed=$((failed + 1))
    printf ' %-9s' "$v"
  done
  echo
done
echo "${#results[@]} cells, $failed failed, $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
