# Merges what the host recorded of one board run into one timeline, one event
# a line: HOST_TIME GUEST_TIME KIND DETAIL, sorted by the host's clock.
# Files, in order: console.log (read twice: first for the clock marks, then
# for the events), trace.log, vsftpd.log.
#
# The clock marks ("board: clock[-set] GUEST kernel KERNEL_TIME") tie the
# guest's wall clock to the kernel log's clock; the kernel's own console
# lines "[KERNEL_TIME] board-sync-N" tie that to the host's: the host stamps a
# line when it arrives, never before, so the smallest difference is the best.
# A "clock-set" mark starts a new era of the guest's wall clock (the scenario
# stepped it).
# Times of daemon and script messages are their arrival on the console, up to
# about a second after the fact (the log is copied to the console once a
# second); DTR edges (QEMU's trace), mounts and unmounts (the kernel's own
# time stamps) are exact to a few milliseconds.

function hex(s,    i, c, v) {
	v = 0
	s = tolower(s)
	sub(/^0x/, "", s)
	for (i = 1; i <= length(s); i++) {
		c = index("0123456789abcdef", substr(s, i, 1)) - 1
		v = v * 16 + c
	}
	return v
}

function guest(h,    k, e) {
	e = 1
	for (k = 1; k <= eras; k++)
		if (era_host[k] <= h)
			e = k
	return h - host_minus_kernel_time + era_guest_minus_kernel_time[e]
}

function emit(h, kind, detail) {
	printf "%.6f %.6f %s %s\n", h, (eras ? guest(h) : h), kind, detail
}

FNR == 1 { file++ }

file == 1 {
	# "[   52.479235] board-sync-3", printed by the kernel as it logs it.
	if ($0 ~ /^[0-9.]+ \[ *[0-9]+\.[0-9]+\] board-sync-/) {
		k = substr($0, index($0, "[") + 1)
		d = $1 - (k + 0)
		if (!have_kernel_time || d < host_minus_kernel_time)
			host_minus_kernel_time = d
		have_kernel_time = 1
	}
	if ($2 == "board:" && $5 == "kernel") {
		# Field 7: how long the clock's reading took; of the tries of one
		# mark the quickest is the best.
		if ($3 == "clock-set" && !($1 - last_line < 3 && last_kind == "clock-set"))
			new_era = 1
		if (new_era || eras == 0) {
			# The step itself came just after the scenario's line before it.
			eras++
			era_host[eras] = (last_line > $1 - 1) ? last_line : $1
			era_spread[eras] = 1e9
			new_era = 0
		}
		if ($7 + 0 < era_spread[eras]) {
			era_spread[eras] = $7 + 0
			era_guest_minus_kernel_time[eras] = $4 - $6
		}
	}
	if ($2 == "board:" && !($5 == "kernel" && $3 == last_kind)) {
		last_line = $1
		last_kind = $3
	}
	next
}

file == 2 {
	text = substr($0, index($0, " ") + 1)
	# A mark written while syslogd or the kernel wrote a line lands inside
	# that line, right after its last character ("... ttyS1board: ...").
	if ($2 != "board:" && (inside = index(text, "board: ")) > 0 && substr(text, inside + 7) !~ /^clock/) {
		emit($1, "mark", substr(text, inside + 7))
		next
	}
	if ($2 == "board:") {
		if ($5 == "kernel" && $3 == "clock-set" && previous != "clock-set")
			emit($1, "mark", "clock set")
		else if ($5 != "kernel")
			emit($1, "mark", substr(text, 8))
		previous = ($5 == "kernel") ? $3 : ""
		next
	}
	if (text !~ /^[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] /)
		next
	tag = $7
	priority = $6
	message = substr(text, index(text, tag) + length(tag) + 1)
	if (tag == "kernel:" && match(message, /^\[ *[0-9]+\.[0-9]+\] /)) {
		kernel_time = substr(message, 2, RLENGTH - 3) + 0
		message = substr(message, RLENGTH + 1)
		# The first of the mount's messages: "mounting ext2 file system
		# using the ext4 subsystem" for ext2, "mounted filesystem" for ext4.
		if (message ~ /^EXT4-fs \(vda\): mount/ && !mounting) {
			emit(kernel_time + host_minus_kernel_time, "mount", "/dev/vda")
			mounting = 1
		}
		else if (message ~ /^EXT4-fs \(vda\): unmounting filesystem/) {
			emit(kernel_time + host_minus_kernel_time, "umount", "/dev/vda")
			mounting = 0
		}
		next
	}
	if (tag ~ /^Velmora\[[0-9]+\]:$/) {
		pid = tag
		gsub(/[^0-9]/, "", pid)
		emit($1, "daemon", pid " " priority " " message)
	} else if (tag ~ /^(memCard|dataPut)/) {
		emit($1, "script", tag " " message)
	} else if (tag == "velmorad:") {
		# The init script's supervisor.
		emit($1, "supervisor", message)
	}
	next
}

file == 3 {
	# "PID@SECONDS.MICROSECONDS:serial_write write addr 0x04 val 0x0b"; the
	# modem control register is at 4, DTR is its bit 0.
	if ($1 !~ /serial_write$/ || $3 != "addr" || $4 != "0x04")
		next
	split($1, at, /[@:]/)
	dtr = hex($6) % 2
	if (seen_dtr && dtr == last_dtr)
		next
	if (seen_dtr || dtr)
		emit(at[2], dtr ? "dtr-up" : "dtr-down", "")
	seen_dtr = 1
	last_dtr = dtr
	next
}

file == 4 {
	# vsftpd: "Mon Dec  7 23:33:49 2026 [pid N] [user] OK UPLOAD: Client ..., "path", ..."
	month = (index("JanFebMarAprMayJunJulAugSepOctNovDec", $2) + 2) / 3
	split($4, hms, ":")
	h = mktime($5 " " month " " $3 " " hms[1] " " hms[2] " " hms[3])
	if ($0 ~ /OK UPLOAD:/) {
		path = $0
		sub(/^[^"]*"[^"]*", "/, "", path)
		sub(/".*/, "", path)
		sub(/^.*\/incoming\/device-7\//, "", path)
		emit(h, "ftp-upload", path)
	} else if ($0 ~ /OK LOGIN:/) {
		emit(h, "ftp-login", "")
	} else if ($0 ~ /FAIL LOGIN:/) {
		emit(h, "ftp-login-refused", "")
	} else if ($0 ~ /FAIL UPLOAD:/) {
		emit(h, "ftp-upload-failed", "")
	}
}
