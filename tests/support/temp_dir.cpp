// Temporary working directories for tests.
#include "temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

temp_cwd::temp_cwd()
{
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        throw std::runtime_error("getcwd");
    old_ = buf;
    std::string tmpl = "/tmp/modcfg-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    if (chdir(path_.c_str()) != 0)
        throw std::runtime_error("chdir");
}

temp_cwd::~temp_cwd()
{
    if (chdir(old_.c_str()) != 0)
        return;
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
        // Leaving a temporary directory behind is harmless.
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}
