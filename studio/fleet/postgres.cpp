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
  static const std::regex added(R"(ALTER TABLE\s+([A-Za-z_][A-Za-z0-9_]*)\s+ADD COLUMN IF NOT EXISTS\s+([A-Za-z_][A-Za-z0-9_]*))");
  std::vector<std::string> missing;
  for (const auto& statement : statements) {
    std::smatch name;
    if (std::regex_search(statement, name, added)) {
      if (s.run("SELECT NOT EXISTS (SELECT 1 FROM information_schema.columns"
                " WHERE table_schema = current_schema() AND table_name = $1 AND column_name = $2)",
                {name[1].str(), name[2].str()})
              .text(0, 0) == "t") {
        missing.push_back(statement);
      }
    } else if (!std::regex_search(statement, name, created) ||
               s.run("SELECT to_regclass($1) IS NULL", {name[1].str()}).text(0, 0) == "t") {
      missing.push_back(statement);
    }
  }
  if (missing.empty()) return;
  try {
    s.transaction([&](Session& t) {
      t.run("SELECT pg_advisory_xact_lock(7305418822)");  // a number of our own
      for (const auto& statement : missing) t.run(statement);
    });
  } catch (const DatabaseError& e) {
    // A node whose role may use the tables but not change them, against
    // tables an older studio made.
    const std::string what = e.what();
    if (what.find("must be owner") == std::string::npos && what.find("permission denied") == std::string::npos) throw;
    std::string needed;
    for (const auto& statement : missing) needed += "\n  " + statement + ";";
    throw DatabaseError(what + "\nThe database lacks what this studio needs; start a studio once as the tables' owner, or run as the owner:" + needed);
  }
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
