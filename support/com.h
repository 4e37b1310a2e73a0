// Serial ports: opening with line settings, and a command-and-reply exchange.
//
// com_open() leaves the descriptor non-blocking and logs its own failures
// to the system log; only a failed open() gives -1.
#pragma once

// `parity`: only its first character counts, 'O' odd, 'E' even (upper case
// only), anything else none. Baud rates outside the table give 9600.
int com_open(const char *device, unsigned baud, int databits, const char *parity, int stopbits);
