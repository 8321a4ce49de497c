#include "kit/console/prompt.hpp"

#include <algorithm>

namespace kit::console {
namespace {

std::string read_line(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) throw EndOfInput();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string trimmed(std::string s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string ask(Console& console, const std::string& prompt, const AskOptions& options, std::istream& in) {
  std::string text = prompt;
  if (options.show_choices && !options.choices.empty()) {
    std::string joined;
    for (const auto& c : options.choices) joined += (joined.empty() ? "" : "/") + c;
    text += " [bold magenta]\\[" + joined + "][/bold magenta]";
  }
  if (options.show_default && options.default_answer) {
    text += " [bold cyan](" + *options.default_answer + ")[/bold cyan]";
  }
  text += ": ";
  for (;;) {
    console.write(text);
    std::string answer = trimmed(read_line(in));
    if (answer.empty() && options.default_answer) return *options.default_answer;
    if (options.choices.empty() ||
        std::find(options.choices.begin(), options.choices.end(), answer) != options.choices.end()) {
      return answer;
    }
    console.print("[red]Please select one of the available options[/red]");
  }
}

bool confirm(Console& console, const std::string& prompt, bool default_answer, std::istream& in) {
  const std::string text = prompt + " [bold magenta]\\[y/n][/bold magenta] [bold cyan](" +
                           (default_answer ? "y" : "n") + ")[/bold cyan]: ";
  for (;;) {
    console.write(text);
    std::string answer = trimmed(read_line(in));
    std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
    if (answer.empty()) return default_answer;
    if (answer == "y" || answer == "yes") return true;
    if (answer == "n" || answer == "no") return false;
    console.print("[red]Please enter Y or N[/red]");
  }
}

}  // namespace kit::console
