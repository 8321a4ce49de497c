#pragma once
// Any baud rate on a Linux tty (termios2 with BOTHER), kept apart because
// <asm/termbits.h> and <termios.h> cannot share a file.
namespace armkit::baud {
// Sets raw 8N1 at `rate` on `fd`; false when the driver refuses.
bool set_raw(int fd, int rate);
// The rate the tty is set to (for a pty master: what the slave side set).
int get(int fd);
}  // namespace armkit::baud
