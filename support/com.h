// Serial ports: opening with line settings, and a command-and-reply exchange.
//
// com_open() leaves the descriptor non-blocking and logs its own failures
// to the system log; only a failed open() gives -1. com_send() returns a
// static buffer that its next call overwrites: one caller at a time.
#pragma once

// `parity`: only its first character counts, 'O' odd, 'E' even (upper case
// only), anything else none. Baud rates outside the table give 9600.
int com_open(const char *device, unsigned baud, int databits, const char *parity, int stopbits);

// Sends `command` and collects the reply: it must begin within `timeout`
// seconds; after a read of more than two bytes 200 ms of silence ends it,
// while a read of one or two bytes allows the full timeout again. At most
// 8191 bytes are kept (the rest is read and dropped) and the exchange stops
// once 65536 bytes have come in. "" when nothing came.
const char *com_send(int fd, const char *command, int timeout);
