// The memory card, attached and released through the DTR line of the
// control port "/dev/ttyS1", each line change paired with the card script.
//
// The port and its lock are held until the process ends; only a clean stop
// removes the lock file. Waits and scripts go
// through events_pause() and events_run(): a stop cuts an attach short (check
// events_stopping()), never a release.
#pragma once

// The control port descriptor with DTR lowered, or -1 (already logged).
int memCardInit();
// Raises DTR, then mounts: 0 attached; 1 when the line step failed (logged),
// else the mount script's nonzero wait status (not logged).
int memCardMount(int fd);
// Unmounts, then lowers DTR: 0 released, 1 on failure.
int memCardUmount(int fd);
// Lowers DTR at once, for a card that is not mounted: 0, or 1 (logged).
int memCardPowerOff(int fd);
// Removes the port's lock file, for a daemon that ends cleanly: left behind,
// its pid may name another process by the next start.
void memCardUnlock();
// Leaves the line at speed 0 for a daemon that ends with the card released,
// so the next open of the port does not raise DTR.
void memCardShutdown(int fd);
