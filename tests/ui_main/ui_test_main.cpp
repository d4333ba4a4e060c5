// Test main for widget tests: GTK needs a display (Xvfb in the test run).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "window.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    // The module operations as the build under test binds them.
    build_bind();
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time) needs no display.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // A busy X server now and then refuses a connection that the next try
    // gets; only a display that stays away for seconds fails the program.
    for (int attempt = 0; !gtk_init_check(&argc, &argv); attempt++) {
        if (attempt == 20) {
            const char *display = std::getenv("DISPLAY");
            fprintf(stderr, "no display %s: widget tests need X (run under xvfb-run)\n",
                    display ? display : "(DISPLAY unset)");
            return 1;
        }
        g_usleep(250 * 1000);
    }
    return RUN_ALL_TESTS();
}
