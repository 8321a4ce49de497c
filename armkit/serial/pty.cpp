#include "armkit/serial/pty.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "armkit/serial/serial_port.hpp"

namespace armkit {

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw SerialError(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw SerialError("cannot name the pseudo-terminal");
  slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) close(master_);
}

}  // namespace armkit
