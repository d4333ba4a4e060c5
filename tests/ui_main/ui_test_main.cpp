// Test main for widget tests: GTK needs a display (Xvfb in the test run).
#include <gtest/gtest.h>
#include <gtk/gtk.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time) needs no display.
    if (!GTEST_FLAG_GET(list_tests) && !gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "no display: widget tests need X (run under xvfb-run)\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
