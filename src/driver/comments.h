// Member comments from a comment file ("-c@") or typed for each member
// ("-cl"), and the archive comment typed when a new archive is begun ("-cg").
#pragma once

#include "archive/archive.h"

// Sets or removes the comment of a member header being written or copied,
// following options.commentFile (preferred) or options.commentPerFile; does
// nothing when neither is set. A set comment also sets ENTRY_COMMENT, a
// removed one clears it; no other flag changes.
void comment_member(EntryInfo* entry);

// Shows oldComment (null or "" for none), then reads lines up to the first
// empty one. Answers a malloc'd copy of the typed text (each line with a line
// feed, at most 1023 bytes), of oldComment when nothing was typed, or null
// when both are empty (or memory is short). The caller frees it.
char* edit_archive_comment(const char* oldComment);
