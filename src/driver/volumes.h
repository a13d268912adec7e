// Writing a member within the room of the current volume, split into pieces
// that carry their offset in the file when it does not fit.
#pragma once

#include "driver/member_writer.h"

// Writes target->entry with the data of source, or its next pieces, within
// space (the pieces after space's continuation when a member goes on from the
// previous volume). 1 when the member is complete, 0 when it goes on in the
// next volume (space->unfinished set), -1 after a failure noted on target.
int pack_across_volumes(ArchiveFile* target, IoFile* source, VolumeSpace* space, ActionKind action);
