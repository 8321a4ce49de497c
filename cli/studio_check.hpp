#pragma once
// Before a command waits minutes for a sign-in: whether the studio it was
// pointed at answers at all. When it does not, the user is told which
// variable names which address and how to run a studio on this computer;
// the command then waits all the same.
#include <optional>
#include <string>

namespace tessaline::capture {

// Why `url` gave no HTTP answer within a few seconds, or nothing when it
// answered (any status counts: something is there).
std::optional<std::string> silence_of(const std::string& url);

// Asks the studio's API and sign-in addresses; prints the advice when either is silent.
void say_if_studio_silent();

}  // namespace tessaline::capture
