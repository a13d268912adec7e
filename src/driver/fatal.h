// The driver's part of the fatal path.
#pragma once

// Makes fatal_error remove a half-written temporary archive and put back an
// old archive moved aside (installed at start-up, before any archive is touched).
void install_archive_cleanup();
