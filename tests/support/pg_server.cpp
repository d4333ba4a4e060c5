// Throw-away PostgreSQL servers for the record tests.
#include "pg_server.h"

#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const char PG_BIN[] = "/usr/lib/postgresql/15/bin/";
// The unprivileged user a root test run starts the server as.
const char PG_OS_USER[] = "nobody";
// The cluster's superuser, which the tests connect as (trust on the socket,
// which only the temporary directory's owner and root can reach).
const char PG_ROLE[] = "modcfg";

} // namespace

pg_server::~pg_server()
{
    if (running_)
        stop();
    if (!dir_.empty()) {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) {
            // Left behind in /tmp: harmless.
        }
    }
}

int pg_server::run(const std::string &program, const std::string &args)
{
    std::string cmd =
        std::string(PG_BIN) + program + " " + args + " >>'" + dir_ + "/server.log' 2>&1";
    if (geteuid() == 0)
        cmd = std::string("runuser -u ") + PG_OS_USER + " -- sh -c \"" + cmd + "\"";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool pg_server::start()
{
    std::string tmpl = "/tmp/modcfg-pg-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        error_ = "mkdtemp failed";
        return false;
    }
    dir_ = tmpl;
    if (geteuid() == 0) {
        const passwd *pw = getpwnam(PG_OS_USER);
        if (!pw || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            error_ = std::string("cannot hand ") + dir_ + " to " + PG_OS_USER;
            return false;
        }
    }
    if (run("initdb", std::string("-D '") + dir_ + "/data' -U " + PG_ROLE +
                          " --auth=trust -E UTF8 --no-sync --no-instructions") != 0) {
        error_ = "initdb failed; see " + dir_ + "/server.log";
        return false;
    }
    // No TCP at all: a socket in the temporary directory; no fsync, the
    // data dies with the test.
    std::FILE *conf = std::fopen((dir_ + "/data/postgresql.conf").c_str(), "a");
    if (!conf) {
        error_ = "cannot extend postgresql.conf";
        return false;
    }
    std::fprintf(conf,
                 "listen_addresses = ''\nunix_socket_directories = '%s'\nfsync = off\n"
                 "max_connections = 200\n",
                 dir_.c_str());
    std::fclose(conf);
    return restart();
}

bool pg_server::restart()
{
    if (run("pg_ctl", "-D '" + dir_ + "/data' -w -t 60 -l '" + dir_ + "/server.log' start") != 0) {
        error_ = "pg_ctl start failed; see " + dir_ + "/server.log";
        return false;
    }
    running_ = true;
    return true;
}

bool pg_server::stop()
{
    running_ = false;
    return run("pg_ctl", "-D '" + dir_ + "/data' -w -t 60 -m fast stop") == 0;
}

std::string pg_server::create_db(const std::string &name)
{
    if (run("createdb", "-h '" + dir_ + "' -U " + PG_ROLE + " " + name) != 0) {
        error_ = "createdb " + name + " failed; see " + dir_ + "/server.log";
        return "";
    }
    return "postgresql:///" + name + "?host=" + dir_ + "&user=" + PG_ROLE;
}

namespace
{
pg_server *shared = nullptr;
std::string shared_error;
void stop_shared()
{
    delete shared;
    shared = nullptr;
}
} // namespace

pg_server *pg_shared_server(std::string *error)
{
    static bool tried = false;
    if (!tried) {
        tried = true;
        shared = new pg_server;
        std::atexit(stop_shared);
        if (!shared->start()) {
            shared_error = shared->error();
            stop_shared();
        }
    }
    *error = shared_error;
    return shared;
}
