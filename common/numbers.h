// Reading decimal numbers from command-line arguments and request words.
#pragma once

#include <stdint.h>

// Reads the leading decimal integer of text as sscanf("%d") does (white space, an
// optional sign, digits; whatever follows is ignored). False when there are no
// digits or the number does not fit in 32 bits.
bool ParseInt32(const char* text, int32_t* value);

// Reads the leading decimal integer as atoi does (no digits gives 0), saturating
// at the 32-bit limits instead of overflowing.
int32_t AtoiSaturated(const char* text);

// Reads environment variable `name` as ParseInt32 does; false when it is not set
// or holds no 32-bit number. Only the tests' settings are read this way.
bool EnvironmentInt32(const char* name, int32_t* value);
