#include "kit/log/logger.hpp"

#include <gtest/gtest.h>

namespace {

using kit::log::Level;

struct CapturingHandler : kit::log::Handler {
  explicit CapturingHandler(std::string fmt) : format(std::move(fmt)) {}
  void emit(const kit::log::Record& r) override { lines.push_back(kit::log::format_record(format, r)); }
  std::string format;
  std::vector<std::string> lines;
};

struct Counted {
  int* count;
};

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
  auto format(const Counted& c, format_context& ctx) const {
    ++*c.count;
    return fmt::formatter<int>::format(*c.count, ctx);
  }
};

namespace {

TEST(Logger, EffectiveLevelComesFromTheNearestSetAncestor) {
  auto& parent = kit::log::get_logger("lvltest");
  auto& child = kit::log::get_logger("lvltest.ports.scan");
  EXPECT_EQ(child.level(), Level::NOTSET);
  parent.set_level(Level::ERROR);
  EXPECT_EQ(child.effective_level(), Level::ERROR);
  kit::log::get_logger("lvltest.ports").set_level(Level::DEBUG);
  EXPECT_EQ(child.effective_level(), Level::DEBUG);
  EXPECT_TRUE(child.is_enabled_for(Level::DEBUG));
  EXPECT_FALSE(parent.is_enabled_for(Level::WARNING));
  EXPECT_EQ(&kit::log::get_logger("lvltest.ports.scan"), &child);
}

TEST(Logger, RecordsPropagateToAncestorHandlersWithTheirFormats) {
  auto& top = kit::log::get_logger("proptest");
  top.set_level(Level::INFO);
  auto plain = std::make_shared<CapturingHandler>("%(levelname)s: %(message)s");
  auto named = std::make_shared<CapturingHandler>("%(levelname)s [%(name)s]: %(message)s");
  top.add_handler(plain);
  kit::log::get_logger("proptest.child").add_handler(named);
  kit::log::get_logger("proptest.child").warning("Found {} ports", 2);
  kit::log::get_logger("proptest.child").debug("hidden");
  top.info("100% done");
  EXPECT_EQ(plain->lines, (std::vector<std::string>{"WARNING: Found 2 ports", "INFO: 100% done"}));
  EXPECT_EQ(named->lines, (std::vector<std::string>{"WARNING [proptest.child]: Found 2 ports"}));
  top.remove_handler(plain);
}

TEST(Logger, DisabledLevelsDoNotFormatTheirArguments) {
  auto& lazy = kit::log::get_logger("lazytest");
  lazy.set_level(Level::WARNING);
  int formatted = 0;
  lazy.debug("{}", Counted{&formatted});
  EXPECT_EQ(formatted, 0);
  lazy.warning("{}", Counted{&formatted});
  EXPECT_EQ(formatted, 1);
}

TEST(Logger, FormatFieldsAndLiteralText) {
  const kit::log::Record r{Level::ERROR, "lerobot", "x %(name)s y"};
  EXPECT_EQ(kit::log::format_record("%(levelname)s [%(name)s]: %(message)s", r),
            "ERROR [lerobot]: x %(name)s y");
  EXPECT_EQ(kit::log::format_record("%(levelname)s: %(message)s %d", r), "ERROR: x %(name)s y %d");
}

}  // namespace
