#pragma once
// A PostgreSQL connection for the studio's shared state (libpq): statements
// with text parameters, transactions, and a connection that is made again
// when the server went away (a restart, a failover) — a statement that
// finds it gone is tried once more on the new connection. One statement
// at a time: callers serialise (Postgres::Session holds the lock).
#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace studio {

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A statement's rows, as text (NULL is nullopt).
class Rows {
 public:
  explicit Rows(PGresult* result) : result_(result, PQclear) {}
  int size() const { return PQntuples(result_.get()); }
  std::optional<std::string> at(int row, int column) const;
  std::string text(int row, int column) const { return at(row, column).value_or(""); }
  long number(int row, int column) const { return std::stol(text(row, column)); }
  long affected() const;  // rows an UPDATE / DELETE / INSERT touched
  ExecStatusType status() const { return PQresultStatus(result_.get()); }
  std::string error() const { return PQresultErrorMessage(result_.get()); }

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_;
};

class Postgres {
 public:
  // "postgresql://user@host:port/database" (libpq's connection strings).
  explicit Postgres(std::string url);
  // Runs the statements (CREATE ... IF NOT EXISTS, ALTER TABLE t ADD COLUMN
  // IF NOT EXISTS c ...) in one transaction under an advisory lock, so
  // studios starting together do not make a table twice — and only when
  // something is missing, so a role that may not own the tables starts.
  void ensure_schema(const std::vector<std::string>& statements);
  ~Postgres();
  Postgres(const Postgres&) = delete;
  Postgres& operator=(const Postgres&) = delete;

  using Params = std::vector<std::optional<std::string>>;

  // Exclusive use of the connection for a few statements.
  class Session {
   public:
    explicit Session(Postgres& db) : db_(db), lock_(db.mutex_) {}
    // One statement; outside a transaction, tried once more on a new
    // connection when the old one was found gone.
    Rows run(const std::string& sql, const Params& params = {});
    // `work` between BEGIN and COMMIT (ROLLBACK when it throws); all of it
    // again once on a new connection when the old one was found gone.
    template <typename F>
    auto transaction(F&& work) {
      for (int attempt = 0;; ++attempt) {
        in_transaction_ = true;
        try {
          db_.execute("BEGIN", {});
          if constexpr (std::is_void_v<decltype(work(*this))>) {
            work(*this);
            db_.execute("COMMIT", {});
            in_transaction_ = false;
            return;
          } else {
            auto result = work(*this);
            db_.execute("COMMIT", {});
            in_transaction_ = false;
            return result;
          }
        } catch (const DatabaseError&) {
          in_transaction_ = false;
          if (!db_.recover() || attempt > 0) throw;
        } catch (...) {
          in_transaction_ = false;
          db_.recover();
          throw;
        }
      }
    }

   private:
    Postgres& db_;
    std::unique_lock<std::mutex> lock_;
    bool in_transaction_ = false;
  };

 private:
  friend class Session;
  Rows execute(const std::string& sql, const Params& params);
  // After a failure: when the connection is gone, a new one (true);
  // otherwise the statement failed on its own, and the transaction is undone (false).
  bool recover();
  void connect();

  std::string url_;
  PGconn* conn_ = nullptr;
  std::mutex mutex_;
};

}  // namespace studio
