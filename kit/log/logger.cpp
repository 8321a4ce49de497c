#include "kit/log/logger.hpp"

#include <cstdio>
#include <map>

namespace kit::log {
namespace {

struct Registry {
  std::mutex mutex;  // guards loggers
  Logger root{"root", nullptr};
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: loggers outlive static teardown
  return *instance;
}

std::mutex& stderr_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::DEBUG: return "DEBUG";
    case Level::INFO: return "INFO";
    case Level::WARNING: return "WARNING";
    case Level::ERROR: return "ERROR";
    case Level::NOTSET: return "NOTSET";
  }
  return "NOTSET";
}

std::string format_record(std::string_view format, const Record& record) {
  std::string out;
  out.reserve(format.size() + record.message.size());
  for (size_t i = 0; i < format.size();) {
    auto field = [&](std::string_view token, std::string_view value) {
      if (format.substr(i, token.size()) != token) return false;
      out += value;
      i += token.size();
      return true;
    };
    if (field("%(levelname)s", level_name(record.level)) || field("%(name)s", record.logger_name) ||
        field("%(message)s", record.message)) {
      continue;
    }
    out += format[i++];
  }
  return out;
}

void StderrHandler::emit(const Record& record) {
  const std::string line = format_record(format_, record) + "\n";
  std::lock_guard lock(stderr_mutex());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

Level Logger::effective_level() const {
  for (const Logger* l = this; l; l = l->parent_) {
    const Level own = l->level_.load();
    if (own != Level::NOTSET) return own;
  }
  return Level::WARNING;
}

void Logger::add_handler(std::shared_ptr<Handler> handler) {
  std::lock_guard lock(handlers_mutex_);
  handlers_.push_back(std::move(handler));
}

void Logger::remove_handler(const std::shared_ptr<Handler>& handler) {
  std::lock_guard lock(handlers_mutex_);
  std::erase(handlers_, handler);
}

bool Logger::has_handlers() const {
  std::lock_guard lock(handlers_mutex_);
  return !handlers_.empty();
}

void Logger::log(Level level, std::string_view message) {
  if (!is_enabled_for(level)) return;
  const Record record{level, name_, message};
  for (Logger* l = this; l; l = l->parent_) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
      std::lock_guard lock(l->handlers_mutex_);
      handlers = l->handlers_;
    }
    for (const auto& h : handlers) h->emit(record);
  }
}

Logger& get_logger(std::string_view name) {
  Registry& reg = registry();
  if (name.empty() || name == "root") return reg.root;
  std::lock_guard lock(reg.mutex);
  if (auto it = reg.loggers.find(name); it != reg.loggers.end()) return *it->second;
  Logger* parent = &reg.root;
  for (size_t dot = name.find('.'); ; dot = name.find('.', dot + 1)) {
    const std::string prefix(name.substr(0, dot));
    auto it = reg.loggers.find(prefix);
    if (it == reg.loggers.end()) {
      it = reg.loggers.emplace(prefix, std::make_unique<Logger>(prefix, parent)).first;
    }
    parent = it->second.get();
    if (dot == std::string_view::npos) return *parent;
  }
}

void basic_config(Level level, std::string format) {
  Logger& root = get_logger();
  static std::mutex config_mutex;
  std::lock_guard lock(config_mutex);
  if (root.has_handlers()) return;
  root.set_level(level);
  root.add_handler(std::make_shared<StderrHandler>(std::move(format)));
}

}  // namespace kit::log
