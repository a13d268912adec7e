// Member extraction entry of the own formats and ARJ: announces the member,
// refuses members with features no decoder handles, chooses the decoder by
// method number and answers the check value of the bytes produced.
#include "archive/member.h"

#include "archive/archive.h"
#include "archive/kvn_format.h"
#include "codec/common/transfer.h"
#include "codec/methods.h"
#include "platform/console.h"

namespace {

// The decoder selector: ARJ's methods 1 to 3 are the default method.
int method_of(const ArchiveFile* archive) {
  int method = archive->entry.methodCode;
  if (archive->kind == Arj && method >= 1 && method <= 3) method = METHOD_DEFAULT;
  return method;
}

}  // namespace

uint32_t unpack_member(ArchiveFile* archive, IoFile* output, const PathName* displayName,
                       const PathName* outputName) {
  const EntryInfo& entry = archive->entry;
  const bool blockMode = (archive->globalFlags & GLOBAL_BLOCKED) != 0;
  transfer_begin(archive->file, output, entry.unpackedSize);
  transfer_announce(displayName, outputName);

  const char* reserved = reserved_local_features(entry.flags);
  const int code = method_of(archive);
  const MethodRow* method = method_by_code(code);
  if (reserved) {
    print_text(reserved);
  } else if (code == METHOD_STORED) {
    copy_stored(entry.unpackedSize);
  } else if (method != nullptr) {
    method->unpack(archive->file, entry.unpackedSize, entry.packedSize, blockMode);
  } else {
    print_text(message_text(MSG_BAD_METHOD));
  }
  return transfer_finish();
}
