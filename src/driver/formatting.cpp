// Numbers, dates and the size-and-date lines of listings and questions.
#include "driver/formatting.h"

#include <cstdio>

#include "platform/console.h"

void print_number(uint64_t value, int width, char fill) {
  char digits[24];
  int count = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
  if (width > count) print_repeated(fill, width - count);
  print_text(digits);
}

void print_dos_date(uint32_t dosTime) {
  if (dosTime == 0) {
    print_repeated(' ', 14);
    return;
  }
  char text[16];
  snprintf(text, sizeof text, " %02u-", static_cast<unsigned>((dosTime >> 16) & 0x1f));
  print_text(text);
  print_text(month_name(static_cast<int>((dosTime >> 21) & 0x0f)));
  // The year's last two digits: 1997 "97", 2005 "05", 2107 "07".
  snprintf(text, sizeof text, "-%02u", static_cast<unsigned>(((dosTime >> 25) + 1980) % 100));
  print_text(text);
  snprintf(text, sizeof text, " %02u:%02u", static_cast<unsigned>((dosTime >> 11) & 0x1f),
           static_cast<unsigned>((dosTime >> 5) & 0x3f));
  print_text(text);
}

void print_size_and_date(const char* label, uint32_t dosTime, uint32_t size) {
  print_text(label);
  print_text(message_text(MSG_SIZE_LABEL));
  print_number(size, 8, ' ');
  print_text(message_text(MSG_DATE_LABEL));
  print_dos_date(dosTime);
  print_text("\n");
}
