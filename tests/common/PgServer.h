// A PostgreSQL server of the tests' own (scripts/pg-test-server): started in a short temporary folder
// on a Unix socket only, stopped and removed with this object, or by the script's watchdog once the
// test program has ended in any way. Each test takes a fresh database of it, set up by the admin as
// `tarnwick-cli history init` does, and works in it as a desk's writer login, never as the superuser.
#pragma once

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "history/History.h"

#ifndef TARNWICK_PG_TEST_SERVER
#error "TARNWICK_PG_TEST_SERVER names scripts/pg-test-server"
#endif

namespace pgtest {

class Server {
 public:
  Server() {
    char pattern[] = "/tmp/twpg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      error_ = "no temporary folder";
      return;
    }
    ::rmdir(pattern);  // the script creates it for the server's user
    dir_ = pattern;
    std::string out;
    if (!script("start " + dir_ + " " + std::to_string(::getpid()), out) || out.empty()) {
      error_ = "scripts/pg-test-server start failed: " + out;
      return;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    location_ = out;
  }
  ~Server() {
    std::string ignored;
    if (!dir_.empty()) script("stop " + dir_, ignored);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // One server for the whole test program, started on first use.
  static Server& shared() {
    static Server server;
    return server;
  }

  bool running() const { return !location_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }
  // The superuser's (the admin's) location of the database "tarnwick".
  const std::string& location() const { return location_; }
  // The logins of the site: "desk" and "desk2" write, "auditor" reviews.
  std::string location(const std::string& database, const std::string& user = "tarnwick") const {
    return "host=" + dir_ + " port=5432 user=" + user + " dbname=" + database;
  }

  // Runs SQL as the superuser (or `user`) in a database, the history's schema first on the search
  // path; the server's message when it fails.
  std::string sql(const std::string& database, const std::string& text,
                  const std::string& user = "tarnwick") const {
    PGconn* c = PQconnectdb(location(database, user).c_str());
    std::string failure;
    if (PQstatus(c) != CONNECTION_OK) {
      failure = PQerrorMessage(c);
    } else {
      PQclear(PQexec(c, "SET search_path = tarnwick, public"));
      PGresult* r = PQexec(c, text.c_str());
      const ExecStatusType status = PQresultStatus(r);
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) failure = PQerrorMessage(c);
      PQclear(r);
    }
    PQfinish(c);
    return failure;
  }
  // The single value a query returns, as text ("" when none).
  std::string value(const std::string& database, const std::string& text) const {
    PGconn* c = PQconnectdb(location(database).c_str());
    std::string out;
    PQclear(PQexec(c, "SET search_path = tarnwick, public"));
    PGresult* r = PQexec(c, text.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) out = PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(c);
    return out;
  }

  // A new database set up for the history, its location for `user` (empty on failure, with the reason
  // in error()); `setUp` false leaves it empty, as a new site's is before history init.
  std::string freshDatabase(const std::string& user = "desk", bool setUp = true) {
    const std::string name = "t" + std::to_string(++databases_);
    std::string failure = sql("tarnwick", "CREATE DATABASE " + name);
    std::string ignored;
    if (failure.empty() && setUp &&
        !history::setUpServer(location(name), history::kDefaultWriterRole, history::kDefaultReviewerRole,
                              false, ignored, failure) &&
        failure.empty())
      failure = "history init failed";
    if (!failure.empty()) {
      error_ = failure;
      return std::string();
    }
    lastDatabase_ = name;
    return location(name, user);
  }
  // The name of the database freshDatabase made last.
  const std::string& lastDatabase() const { return lastDatabase_; }

  // Stops the server without removing anything, and starts it again.
  bool pause() {
    std::string out;
    return script("pause " + dir_, out);
  }
  bool resume() {
    std::string out;
    return script("resume " + dir_, out);
  }

 private:
  static bool script(const std::string& arguments, std::string& out) {
    const std::string command = std::string(TARNWICK_PG_TEST_SERVER) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return ::pclose(pipe) == 0;
  }

  std::string dir_, location_, error_, lastDatabase_;
  int databases_ = 0;
};

}  // namespace pgtest
