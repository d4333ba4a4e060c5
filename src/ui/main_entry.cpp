// Program entry of both builds: state, the build's own start-up step, the
// window, then the main loop until the window is closed.
#include "main.h"
#include "window.h"

int main(int argc, char **argv)
{
    init_app_state();
    build_startup();
    init_window(&argc, &argv);
    started = 1;
    gtk_main();
    // Nothing is torn down: an open port is not closed, nothing is sent.
    return 0;
}
