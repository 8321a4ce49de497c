#include "armkit/bus/tick_deadline.hpp"

namespace armkit {
namespace {

thread_local std::optional<TickDeadline::Clock::time_point> deadline;

}  // namespace

TickDeadline::TickDeadline(Clock::time_point at) : outer_(deadline) { deadline = at; }

TickDeadline::~TickDeadline() { deadline = outer_; }

std::optional<TickDeadline::Clock::time_point> TickDeadline::current() { return deadline; }

}  // namespace armkit
