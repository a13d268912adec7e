// The three message tables behind the console's catalogue, one per language.
#pragma once

#include "platform/console.h"

extern const char* const englishMessages[MESSAGE_COUNT];
extern const char* const russianMessages[MESSAGE_COUNT];
extern const char* const germanMessages[MESSAGE_COUNT];
