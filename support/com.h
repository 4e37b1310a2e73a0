// Serial ports: opening with line settings, and a command-and-reply exchange.
//
// com_open() leaves the descriptor non-blocking and logs its own failures
// to the system log; only a failed open() gives -1. com_send() returns a
// static buffer that its next call overwrites: one caller at a time.
#pragma once

#include <cstddef>

// The line speeds com_open() sets; 0 leaves the line hung up (speed 0, so
// the UART does not raise DTR for it); any other gives 9600.
constexpr unsigned COM_BAUD_RATES[] = {300,   600,   1200,  2400,   4800,  9600,
                                       19200, 38400, 57600, 115200, 230400};

// `parity`: only its first character counts, 'O' odd, 'E' even (upper case
// only), anything else none.
int com_open(const char *device, unsigned baud, int databits, const char *parity, int stopbits);

// What com_send() did beyond the reply text.
struct com_result_t {
    size_t length;  // reply bytes kept in the buffer, zero bytes included
    bool sent;      // the whole command was written
};

// Sends `command` and collects the reply. The command is written whole,
// waiting up to `timeout` seconds each time the port stops taking it (a
// failure is logged). The reply must begin within `timeout` seconds; after a read of more than two bytes 200 ms of silence ends it,
// while a read of one or two bytes allows the full timeout again. At most
// 8191 bytes are kept (the rest is read and dropped) and the exchange stops
// once 65536 bytes have come in. "" when nothing came; a reply holding a
// zero byte reads as cut there unless `result` is given.
const char *com_send(int fd, const char *command, int timeout, com_result_t *result = nullptr);
