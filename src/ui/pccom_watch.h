// The serial build's watch on its open port: the main loop notices an
// adapter pulled out (or a port that failed) without waiting for the
// operator's next button.
#ifndef MODCFG_PCCOM_WATCH_H
#define MODCFG_PCCOM_WATCH_H

// Watches the open port `fd` from the main loop for hang-up and error
// conditions (no thread; nothing is read). When one shows, the watch is
// removed and `on_gone` runs once on the main thread. While a handler
// talks to the module the main loop is blocked, so it runs after that
// handler has returned. Replaces an earlier watch.
void pccom_watch_start(int fd, void (*on_gone)());
// Removes the watch; nothing when there is none. Must come before the
// port's descriptor is closed, so that the watch never fires on a closed
// descriptor or on one that a later open reuses.
void pccom_watch_stop();

#endif
