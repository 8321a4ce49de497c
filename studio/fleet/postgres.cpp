#include "studio/fleet/postgres.hpp"

#include <regex>

namespace studio {

std::optional<std::string> Rows::at(int row, int column) const {
  if (PQgetisnull(result_.get(), row, column)) return std::nullopt;
  return std::string(PQgetvalue(result_.get(), row, column), static_cast<size_t>(PQgetlength(result_.get(), row, column)));
}

long Rows::affected() const {
  const char* n = PQcmdTuples(result_.get());
  return n && *n ? std::stol(n) : 0;
}

Postgres::Postgres(std::string url) : url_(std::move(url)) { connect(); }

Postgres::~Postgres() { PQfinish(conn_); }

void Postgres::ensure_schema(const std::vector<std::string>& statements) {
  Session s(*this);
  // Nothing is created when everything is there: a node whose role may
  // only read and write the tables (not own them) starts as well.
  static const std::regex created(R"(IF NOT EXISTS\s+([A-Za-z_][A-Za-z0-9_]*))");
  bool missing = false;
  for (const auto& statement : statements) {
    std::smatch name;
    if (!std::regex_search(statement, name, created)) {
      missing = true;
      break;
    }
    if (s.run("SELECT to_regclass($1) IS NULL", {name[1].str()}).text(0, 0) == "t") missing = true;
  }
  if (!missing) return;
  s.transaction([&](Session& t) {
    t.run("SELECT pg_advisory_xact_lock(7305418822)");  // a number of our own
    for (const auto& statement : statements) t.run(statement);
  });
}

void Postgres::connect() {
  PQfinish(conn_);
  conn_ = PQconnectdb(url_.c_str());
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string reason = PQerrorMessage(conn_);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    throw DatabaseError("cannot reach the database: " + reason);
  }
  // The server's notices ("relation ... already exists, skipping") are no news for an operator.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

Rows Postgres::execute(const std::string& sql, const Params& params) {
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  Rows rows(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
  const auto status = rows.status();
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::string reason = rows.error();
    if (reason.empty()) reason = PQerrorMessage(conn_);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    throw DatabaseError("the database refused a statement: " + reason);
  }
  return rows;
}

bool Postgres::recover() {
  if (PQstatus(conn_) == CONNECTION_OK) {
    PQclear(PQexec(conn_, "ROLLBACK"));  // a failed statement leaves its transaction aborted
    return false;
  }
  connect();
  return true;
}

Rows Postgres::Session::run(const std::string& sql, const Params& params) {
  if (in_transaction_) return db_.execute(sql, params);
  try {
    return db_.execute(sql, params);
  } catch (const DatabaseError&) {
    if (!db_.recover()) throw;
    return db_.execute(sql, params);
  }
}

}  // namespace studio
