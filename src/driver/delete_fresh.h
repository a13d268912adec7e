// Deleting members from an archive and freshening members from newer files;
// both write a new archive that keeps the members' order.
#pragma once

// The command d, and the second half of extraction with -m: every member
// matching the file specifications (and confirmed with -qd) leaves the archive.
void delete_members();

// The second half of extraction with -m: like delete_members, but a member
// leaves the archive only when its extracted copy is on disk as the member
// holds it, so members the extraction passed over (not overwritten, declined,
// renamed) stay. Members printed with p all leave.
void delete_extracted_members();

// The command f: members whose file on disk is newer are replaced by it;
// nothing new is added. With -m the files that went in are deleted afterwards.
void fresh_members();
