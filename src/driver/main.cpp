// The program entry of kvx, and the help archive the program file carries.
#include "driver/entry.h"

// The help texts travel in the program file: the build packs resources/ into
// an archive of kvx's own format (KVX_HELP_ARCHIVE names it), placed here in
// a read-only section of its own. Being part of the loaded image, it keeps
// its place in the file through every strip; the help reader finds it there
// because its global header lies between bytes 55000 and 186071 of the file,
// which the build checks, on a stripped copy as well. "R" keeps the unused
// section from the linker's garbage collection.
#ifdef KVX_HELP_ARCHIVE
asm(".pushsection .kvx_help, \"aR\"\n"
    ".incbin \"" KVX_HELP_ARCHIVE "\"\n"
    ".popsection\n");
#endif

int main(int argc, char** argv) {
  const int status = kvx_main(argc, argv);
  // Exit statuses are 8 bits wide here: 256 errors must not read as success.
  return status > 255 ? 255 : status;
}
