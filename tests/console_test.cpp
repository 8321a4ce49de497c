#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "kit/console/markup.hpp"
#include "kit/console/panel.hpp"
#include "kit/console/prompt.hpp"
#include "kit/console/table.hpp"

namespace {

using namespace kit::console;

TEST(Markup, OnlyStylesAndClosingSlashesAreTags) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[green]ok[/green]", "ok"},
      {"[bold cyan]a[/] b", "a b"},
      {"[1] first", "[1] first"},
      {"[0] Other", "[0] Other"},
      {"ports [COM3]", "ports [COM3]"},
      {"array[2]", "array[2]"},
      {"[link=http://x/y]here[/link]", "here"},
      {"[/] stray", "[/] stray"},
      {"[red]unclosed", "unclosed"},
      {"\\[green] escaped", "[green] escaped"},
      {"[ no close", "[ no close"},
      {"[bold]x[/italic]y[/bold]", "x[/italic]y"},
  };
  for (const auto& [markup, plain] : cases) EXPECT_EQ(plain_text(markup), plain) << markup;
}

TEST(Markup, AnsiCodesFollowTheOpenStyles) {
  EXPECT_EQ(render_markup("[green]ok[/green] done", true), "\x1b[32mok\x1b[0m done");
  EXPECT_EQ(render_markup("[bold cyan]x[/bold cyan]", true), "\x1b[1;36mx\x1b[0m");
  EXPECT_EQ(render_markup("[bold]a[red]b[/red]c[/bold]", true), "\x1b[1ma\x1b[0m\x1b[1;31mb\x1b[0m\x1b[1mc\x1b[0m");
  EXPECT_EQ(render_markup("[dim][1][/dim]", true), "\x1b[2m[1]\x1b[0m");
  EXPECT_EQ(render_markup("[link=http://h/]go[/link]", true), "\x1b]8;;http://h/\x1b\\go\x1b]8;;\x1b\\");
}

TEST(Markup, EscapedTextPrintsLiterallyAndNeverControlsTheTerminal) {
  const std::string outside = "[red]not a style[/red]";
  EXPECT_EQ(plain_text(escape(outside)), outside);
  // A window title, a cleared screen, a bell, a carriage return, a C1 CSI:
  // shown, never acted on; new lines and tabs and other text stay as they are.
  const std::string hostile = "eve\x1b]0;owned\x07\x1b[2J\r\xc2\x9b" "1m\tok\nnext \xc3\xa9";
  const std::string shown = render_markup(escape(hostile), true);
  EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\x07'), std::string::npos);
  EXPECT_EQ(shown.find('\r'), std::string::npos);
  EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos);
  EXPECT_EQ(shown, "eve\\x1b]0;owned\\x07\\x1b[2J\\x0d\\x9b1m\tok\nnext \xc3\xa9");
}

TEST(Markup, CellWidthCountsWideCharacters) {
  EXPECT_EQ(cell_width("abc"), 3);
  EXPECT_EQ(cell_width("\xe2\x9c\xa8"), 2);  // sparkles
  EXPECT_EQ(cell_width("caf\xc3\xa9"), 4);
  EXPECT_EQ(cell_width("\xe2\x94\x80"), 1);  // box drawing
}

TEST(Panel, TitleIsCentredInTheTopBorder) {
  int width = 0;
  const auto lines = render_panel({"[bold yellow]uv pip install -U tessaline[/bold yellow]",
                                   "\xe2\x9c\xa8 Update available! \xe2\x9c\xa8", "yellow"},
                                  80, false, &width);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "│ uv pip install -U tessaline │");
  EXPECT_EQ(lines[0], "╭── ✨ Update available! ✨ ──╮");
  EXPECT_EQ(cell_width(lines[0]), width);
  EXPECT_EQ(cell_width(lines[1]), width);
  EXPECT_EQ(cell_width(lines[2]), width);
}

TEST(Panel, AnAddressTooWideForTheTerminalFollowsTheBoxWhole) {
  const std::string url = "http://127.0.0.1:8080/api/auth/velquin-login?redirect_uri=http://127.0.0.1:8765/callback";
  int width = 0;
  const auto lines = render_panel({"Opening browser for authentication...\n\nIf browser doesn't open, visit:\n[link=" + url +
                                       "]" + url + "[/link]",
                                   "[bold]Authentication Required[/bold]", "blue"},
                                  80, false, &width);
  ASSERT_EQ(lines.size(), 6u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cell_width(lines[i]), width) << lines[i];
    EXPECT_LE(width, 80);
  }
  EXPECT_TRUE(lines[3].starts_with("│ If browser doesn't open, visit:")) << lines[3];
  EXPECT_EQ(lines[5], url);  // whole, on a line of its own
  // With colour the address stays a link.
  const auto coloured = render_panel({"[link=" + url + "]" + url + "[/link]", "", ""}, 80, true, nullptr);
  EXPECT_NE(coloured.back().find("\x1b]8;;" + url), std::string::npos);
}

TEST(Table, ColumnsFitTheWidestCell) {
  Table table("Ports with Motors");
  table.add_column("Port", "cyan");
  table.add_column("Motor IDs");
  table.add_row({"/dev/ttyACM0", "[1, 2, 3]"});
  table.add_row({"/dev/ttyUSB1"});
  int width = 0;
  const auto lines = table.render(false, &width);
  const std::vector<std::string> expected = {
      "     Ports with Motors",
      "┏━━━━━━━━━━━━━━┳━━━━━━━━━━━┓",
      "┃ Port         ┃ Motor IDs ┃",
      "┡━━━━━━━━━━━━━━╇━━━━━━━━━━━┩",
      "│ /dev/ttyACM0 │ [1, 2, 3] │",
      "│ /dev/ttyUSB1 │           │",
      "└──────────────┴───────────┘",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(width, cell_width(expected[1]));
}

struct CapturedConsole {
  CapturedConsole() : file(std::tmpfile()), console(file, ConsoleOptions{false, 80}) {}
  ~CapturedConsole() { std::fclose(file); }
  std::string text() {
    std::fflush(file);
    std::rewind(file);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, n);
    return out;
  }
  std::FILE* file;
  Console console;
};

TEST(Console, PlainOutputHasNoEscapesAndCentresBlocks) {
  CapturedConsole c;
  c.console.print("[green]Configuration reset.[/green] Hardware will be re-detected on next capture.");
  c.console.print("[1]", Justify::center);
  EXPECT_EQ(c.text(),
            "Configuration reset. Hardware will be re-detected on next capture.\n" + std::string(38, ' ') + "[1]\n");
}

TEST(Prompt, AsksAgainUntilAnAllowedChoiceAndTakesTheDefault) {
  CapturedConsole c;
  std::istringstream in("7\n\n2\n");
  AskOptions opts{{"1", "2"}, "1"};
  EXPECT_EQ(ask(c.console, "Select", opts, in), "1");  // "7" rejected, empty → default
  EXPECT_EQ(ask(c.console, "Select", opts, in), "2");
  EXPECT_EQ(c.text(),
            "Select [1/2] (1): Please select one of the available options\n"
            "Select [1/2] (1): Select [1/2] (1): ");
  EXPECT_THROW(ask(c.console, "Select", opts, in), EndOfInput);
}

TEST(Prompt, ConfirmAcceptsYesNoAndDefault) {
  CapturedConsole c;
  std::istringstream in("maybe\nY\nno\n\n");
  EXPECT_TRUE(confirm(c.console, "Save?", false, in));
  EXPECT_FALSE(confirm(c.console, "Save?", true, in));
  EXPECT_TRUE(confirm(c.console, "Save?", true, in));
  EXPECT_NE(c.text().find("Please enter Y or N"), std::string::npos);
  EXPECT_EQ(c.text().find("Save? [y/n] (n): "), 0u);
}

}  // namespace
