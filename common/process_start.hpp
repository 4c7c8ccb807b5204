#pragma once
// What main does before anything else.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// descriptor the daemon owns can be one of them (scoped_fd_t never closes 0).
void open_standard_descriptors();
// A closed reader of standard error or of the extra log descriptor must not
// kill the daemon before its services remove their firewall rules; the
// programs the daemon starts keep the default SIGPIPE.
void catch_sigpipe();
