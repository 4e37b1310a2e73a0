#!/usr/bin/env python3
"""An FTP server (pyftpdlib) that behaves like the odd servers in the field,
one flag a quirk, for the uploader's server matrix.

Started as root: it binds the port, then runs as --uid/--gid. Every upload
it received, whole or not, is one line of --xferlog."""
import argparse
import logging
import os
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

# RFC 3659 fixes the SIZE and MDTM replies (213) to one line, and clients
# read the passive address out of 227 and 229: those stay single-line.
SINGLE_LINE = ("213", "227", "229")
log = logging.getLogger("pyftpdlib")


def options():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int, default=21)
    p.add_argument("--home", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--uid", type=int, required=True)
    p.add_argument("--gid", type=int, required=True)
    p.add_argument("--xferlog", required=True)
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="offer explicit FTPS")
    p.add_argument("--no-size", action="store_true", help="SIZE is an unknown command")
    p.add_argument("--no-mlst", action="store_true", help="MLST and MLSD are unknown commands")
    p.add_argument("--pasv-only", action="store_true", help="EPSV and EPRT are unknown commands")
    p.add_argument("--rnto-no-overwrite", action="store_true", help="RNTO onto an existing name: 550")
    p.add_argument("--no-rest-appe", action="store_true", help="REST and APPE: 451")
    p.add_argument("--multiline", action="store_true", help="replies come with continuation lines")
    p.add_argument("--size-lies", action="store_true", help="SIZE reports one byte more")
    p.add_argument("--truncate-stor", action="store_true", help="keeps all but the last byte, answers 226")
    p.add_argument("--reset-data", metavar="BYTES,COUNT",
                   help="resets (RST) the first COUNT uploads that reach BYTES")
    p.add_argument("--max-sessions", type=int, default=0, help="421 too many users beyond this")
    p.add_argument("--escapes", action="store_true", help="refusals carry terminal escape sequences")
    return p.parse_args()


def build_handler(o, xferlog):
    tls = o.tls is not None
    base_cmd, base_dtp = (TLS_FTPHandler, TLS_DTPHandler) if tls else (FTPHandler, DTPHandler)
    resets = {"left": 0, "at": 0}
    if o.reset_data:
        at, count = o.reset_data.split(",")
        resets.update(at=int(at), left=int(count))
    sessions = {"open": 0}

    class Data(base_dtp):
        def readable(self):
            # libcurl starts the data connection's TLS handshake before it
            # sends STOR; pyftpdlib would drop a connection talking that early.
            return getattr(self, "_ssl_accepting", False) or super().readable()

        def handle_read(self):
            super().handle_read()
            if self._closed or not self.receive or resets["left"] <= 0:
                return
            if self.tot_bytes_received >= resets["at"]:
                resets["left"] -= 1
                # Linger 0: the close is a reset, not an orderly end of file.
                self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.transfer_finished = False
                self._resp = ("426 Connection reset; transfer aborted.", log.info)
                self.close()

        if not tls:   # TLS's own read event calls handle_read
            handle_read_event = handle_read

        def close(self):
            if (o.truncate_stor and not self._closed and self.receive and self.transfer_finished
                    and self.file_obj is not None and not self.file_obj.closed):
                self.file_obj.flush()
                size = os.fstat(self.file_obj.fileno()).st_size
                os.ftruncate(self.file_obj.fileno(), max(0, size - 1))
            super().close()

    proto = dict(base_cmd.proto_cmds)
    drop = []
    if o.no_size:
        drop.append("SIZE")
    if o.no_mlst:
        drop += ["MLST", "MLSD"]
    if o.pasv_only:
        drop += ["EPSV", "EPRT"]
    for cmd in drop:
        proto.pop(cmd, None)

    class Handler(base_cmd):
        proto_cmds = proto
        dtp_handler = Data
        counted = False

        def handle(self):
            if o.max_sessions:
                if sessions["open"] >= o.max_sessions:
                    self.respond("421 too many users")
                    self.close_when_done()
                    return
                sessions["open"] += 1
                self.counted = True
            super().handle()

        def close(self):
            if self.counted:
                self.counted = False
                sessions["open"] -= 1
            super().close()

        def respond(self, resp, logfun=None):
            if o.escapes and resp[:1] in "45":
                resp = resp[:4] + "\x1b[2J\x1b]0;owned\x07" + resp[4:]
            if o.multiline and resp[:3] not in SINGLE_LINE and len(resp) > 3:
                self.push("%s-The quirk server says:\r\n" % resp[:3])
                self.push(" continuation lines may hold anything, 200 OK included\r\n")
            if logfun is None:
                super().respond(resp)
            else:
                super().respond(resp, logfun)

        def ftp_SIZE(self, path):
            if not o.size_lies or not self.fs.isfile(self.fs.realpath(path)):
                return super().ftp_SIZE(path)
            self.respond("213 %d" % (self.fs.getsize(path) + 1))

        def ftp_RNTO(self, path):
            if o.rnto_no_overwrite and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                self.respond("550 Rename failed: the name exists.")
                return None
            return super().ftp_RNTO(path)

        def ftp_REST(self, line):
            if o.no_rest_appe:
                self.respond("451 Append/Restart not permitted")
                return None
            return super().ftp_REST(line)

        def ftp_APPE(self, file):
            if o.no_rest_appe:
                self.respond("451 Append/Restart not permitted")
                return None
            return super().ftp_APPE(file)

        def log_received(self, file, whole):
            xferlog.write("%s %s\n" % ("whole" if whole else "partial", file))

        def on_file_received(self, file):
            self.log_received(file, True)

        def on_incomplete_file_received(self, file):
            self.log_received(file, False)

    if tls:
        Handler.certfile, Handler.keyfile = o.tls
        Handler.tls_control_required = False
        Handler.tls_data_required = False
    return Handler


def main():
    o = options()
    # Opened while still root: the log lives outside the account's reach.
    xferlog = open(o.xferlog, "a", buffering=1, encoding="utf-8", errors="surrogateescape")
    handler = build_handler(o, xferlog)
    authorizer = DummyAuthorizer()
    authorizer.add_user(o.user, o.password, o.home, perm="elradfmwMT")
    handler.authorizer = authorizer
    handler.banner = "quirk server ready"
    if o.tls:
        handler.get_ssl_context()   # reads the key while still root
    server = FTPServer(("127.0.0.1", o.port), handler)
    server.max_cons = 0
    os.setgroups([])
    os.setgid(o.gid)
    os.setuid(o.uid)
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
