#pragma once
// Named loggers in a dot hierarchy ("lerobot", "tessaline.ports"), each with
// its own level; records propagate to the handlers of every ancestor up to
// the root. Formatting is lazy: arguments are formatted only when the level
// is enabled. Thread-safe.
#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kit::log {

enum class Level : int { NOTSET = 0, DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

std::string_view level_name(Level level);

struct Record {
  Level level;
  std::string_view logger_name;  // "root" for the root logger
  std::string_view message;
};

// Renders a record through a format with %(levelname)s, %(name)s and
// %(message)s fields, e.g. "%(levelname)s [%(name)s]: %(message)s".
std::string format_record(std::string_view format, const Record& record);

class Handler {
 public:
  virtual ~Handler() = default;
  virtual void emit(const Record& record) = 0;
};

// Writes one formatted line per record to standard error.
class StderrHandler : public Handler {
 public:
  explicit StderrHandler(std::string format) : format_(std::move(format)) {}
  void emit(const Record& record) override;

 private:
  std::string format_;
};

class Logger {
 public:
  Logger(std::string name, Logger* parent) : name_(std::move(name)), parent_(parent) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const std::string& name() const { return name_; }
  void set_level(Level level) { level_.store(level); }
  Level level() const { return level_.load(); }
  // The first level set on this logger or its ancestors; WARNING at the top.
  Level effective_level() const;
  bool is_enabled_for(Level level) const { return level >= effective_level(); }

  void add_handler(std::shared_ptr<Handler> handler);
  void remove_handler(const std::shared_ptr<Handler>& handler);
  bool has_handlers() const;

  void log(Level level, std::string_view message);

  template <typename... Args>
  void debug(fmt::format_string<Args...> f, Args&&... args) {
    emit_formatted(Level::DEBUG, f, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void info(fmt::format_string<Args...> f, Args&&... args) {
    emit_formatted(Level::INFO, f, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void warning(fmt::format_string<Args...> f, Args&&... args) {
    emit_formatted(Level::WARNING, f, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void error(fmt::format_string<Args...> f, Args&&... args) {
    emit_formatted(Level::ERROR, f, std::forward<Args>(args)...);
  }

 private:
  template <typename... Args>
  void emit_formatted(Level level, fmt::format_string<Args...> f, Args&&... args) {
    if (!is_enabled_for(level)) return;
    log(level, fmt::format(f, std::forward<Args>(args)...));
  }

  std::string name_;
  Logger* parent_;  // null for the root; loggers live as long as the process
  std::atomic<Level> level_{Level::NOTSET};
  mutable std::mutex handlers_mutex_;  // guards handlers_
  std::vector<std::shared_ptr<Handler>> handlers_;
};

// The logger of that name, created with its ancestors on first use.
// An empty name or "root" is the root logger.
Logger& get_logger(std::string_view name = {});

// Gives the root logger one stderr handler with this level and format,
// unless it already has a handler (then nothing changes).
void basic_config(Level level, std::string format);

}  // namespace kit::log
