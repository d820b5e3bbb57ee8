// A PostgreSQL server of the tests' own (scripts/pg-test-server): started in a short temporary folder
// on a Unix socket only, stopped and removed with this object, or by the script's watchdog once the
// test program has ended in any way. Each test takes a fresh database of it.
#pragma once

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

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
  // The superuser's location of the database "tarnwick".
  const std::string& location() const { return location_; }
  std::string location(const std::string& database, const std::string& user = "tarnwick") const {
    return "host=" + dir_ + " port=5432 user=" + user + " dbname=" + database;
  }

  // Runs SQL as the superuser in a database; the server's message when it fails.
  std::string sql(const std::string& database, const std::string& text) const {
    PGconn* c = PQconnectdb(location(database).c_str());
    std::string failure;
    if (PQstatus(c) != CONNECTION_OK) {
      failure = PQerrorMessage(c);
    } else {
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
    PGresult* r = PQexec(c, text.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) out = PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(c);
    return out;
  }

  // A new, empty database; its location (empty on failure, with the reason in error()).
  std::string freshDatabase() {
    const std::string name = "t" + std::to_string(++databases_);
    const std::string failure = sql("tarnwick", "CREATE DATABASE " + name);
    if (!failure.empty()) {
      error_ = failure;
      return std::string();
    }
    return location(name);
  }

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

  std::string dir_, location_, error_;
  int databases_ = 0;
};

}  // namespace pgtest
