#pragma once
// Questions on the console: a free or restricted answer with a default, and
// yes/no. Invalid answers are asked again. End of input throws EndOfInput.
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/console/console.hpp"

namespace kit::console {

struct EndOfInput : std::runtime_error {
  EndOfInput() : std::runtime_error("end of input while waiting for an answer") {}
};

struct AskOptions {
  std::vector<std::string> choices;           // empty: any answer
  std::optional<std::string> default_answer;  // used for an empty line
  bool show_choices = true;
  bool show_default = true;
};

// Prints "prompt [a/b] (a): " and returns the answer.
std::string ask(Console& console, const std::string& prompt, const AskOptions& options = {},
                std::istream& in = std::cin);

// Prints "prompt [y/n] (n): " and returns the answer.
bool confirm(Console& console, const std::string& prompt, bool default_answer = false,
             std::istream& in = std::cin);

}  // namespace kit::console
