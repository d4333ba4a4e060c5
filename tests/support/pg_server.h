// A throw-away PostgreSQL server for tests: initdb and pg_ctl in a temporary
// directory, listening on a Unix socket there only (no TCP). Run as an
// unprivileged user when the tests run as root, since initdb refuses root.
#ifndef MODCFG_TEST_PG_SERVER_H
#define MODCFG_TEST_PG_SERVER_H

#include <string>

class pg_server
{
  public:
    pg_server() = default;
    ~pg_server(); // stops the server and removes its directory
    pg_server(const pg_server &) = delete;
    pg_server &operator=(const pg_server &) = delete;

    // Makes the cluster and starts it; false with `error()` telling why
    // (the caller fails the test: a test that needs the server never skips).
    bool start();
    // Stops the server (fast shutdown: clients are cut off), or starts it
    // again on the same data and socket.
    bool stop();
    bool restart();
    // Creates a database; its libpq URI, or "" on failure.
    std::string create_db(const std::string &name);
    const std::string &error() const { return error_; }

  private:
    // Runs a program of PostgreSQL's bin directory as the server's user;
    // its exit status.
    int run(const std::string &program, const std::string &args);

    std::string dir_, error_;
    bool running_ = false;
};

// One server for the whole test program, started on first use and stopped
// when the program exits. Null with `error` set when it did not start.
pg_server *pg_shared_server(std::string *error);

#endif
