#pragma once
// Named points where a process can be made to freeze itself (SIGSTOP), as a
// paused VM, a long collector pause or a swapped-out node would freeze it:
// with TESSALINE_STOP_AT=<name> in its environment, the first time the
// process reaches that point it stops until it is sent SIGCONT. Lets a test
// check that a node which wakes after losing its claim does no harm.
namespace kit {

void stop_point(const char* name);

}  // namespace kit
