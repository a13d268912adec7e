// The driver's part of the fatal path.
#pragma once

// Makes the fatal path (fatal_error, and fatal_signal from a signal handler)
// remove a half-written temporary archive and the half-extracted file, and put
// back an old archive moved aside (installed at start-up, before any archive
// is touched).
void install_archive_cleanup();

// The file being written for the current member: if the run ends before the
// member is finished (an interrupt, a fatal error), the fatal path removes it,
// so that no half-written file is left under a good name. Also when broken
// files are kept: a member cut off by the end of the run is not a broken
// member but an unfinished one.
void mark_unfinished(const char* path);
void mark_finished();
