// The listing commands (l, v, (, o).
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "platform/paths.h"

// Lists the members of the run's archive (and of its further volumes) that
// match the run's specifications, in the layout the options chose.
void list_archive();

// Member walker callback of list_archive: prints one member line when the
// member is selected and not hidden, and adds it to the totals.
void list_member(ArchiveFile* archive, PathName& name, void* context);
