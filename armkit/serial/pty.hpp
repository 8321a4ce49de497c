#pragma once
// A pseudo-terminal pair: the master is held here, the slave is a device
// path any program can open like a USB serial adapter.
#include <string>

namespace armkit {

class PseudoTerminal {
 public:
  PseudoTerminal();  // throws SerialError
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master_fd() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace armkit
