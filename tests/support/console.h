// Console helpers for tests that check what the tool prints.
#ifndef MODCFG_TEST_CONSOLE_H
#define MODCFG_TEST_CONSOLE_H

#include <gtest/gtest.h>
#include <string>

// Captures standard output from construction to take(), and always ends the
// capture, also when an assertion returns early (a second capture while one
// is open aborts the program).
struct stdout_capture {
    bool open = true;
    stdout_capture() { testing::internal::CaptureStdout(); }
    ~stdout_capture() { take(); }
    std::string take()
    {
        if (!open)
            return "";
        open = false;
        return testing::internal::GetCapturedStdout();
    }
};

// How often `part` occurs in `text`, overlapping occurrences included.
inline size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

#endif
