// A fresh temporary directory made the working directory for one test, and
// small file helpers for tests that check exact bytes on disk.
#ifndef MODCFG_TEST_TEMP_DIR_H
#define MODCFG_TEST_TEMP_DIR_H

#include <string>

class temp_cwd {
public:
    temp_cwd();  // creates the directory and changes into it
    ~temp_cwd(); // changes back and removes it with its contents
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::string old_;
};

// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

#endif
