// The help texts carried in the program file: an archive of the own format
// placed after the program image, where the reader looks from byte 55000 on.
#pragma once

// Shows the brief help ("first?.hlp") or the full help ("full?.hlp") of the
// given language from the archive in the program file; reports that the help
// is not available when it cannot be shown.
void show_brief_help(const char* programPath, int language);
void show_full_help(const char* programPath, int language);

// Extracts the member whose name part equals memberName (regardless of case)
// from the program file's archive to standard output and checks its CRC.
// Answers 0 when shown, 1 when the archive or the member is missing, the
// member is damaged or there is no standard output.
int show_resource(const char* programPath, const char* memberName);
