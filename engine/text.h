// UTF-16 text in fixed fields: lengths bounded by the field, ordinal comparison, and the
// engine's lower-casing, which changes only "A" to "Z".
#pragma once

#include <stdint.h>

#include "records.h"

const Utf16Unit Backslash = '\\';

// Units before the terminator, at most `maxUnits`.
uint32_t Utf16Length(const Utf16Unit* text, uint32_t maxUnits);

void Utf16LowerCase(Utf16Unit* text, uint32_t units);

bool Utf16Equal(const Utf16Unit* a, uint32_t aUnits, const Utf16Unit* b, uint32_t bUnits);

// Index of the first occurrence of `needle` in `text`, or -1. The empty needle occurs at 0.
int32_t Utf16Find(const Utf16Unit* text, uint32_t textUnits, const Utf16Unit* needle,
                  uint32_t needleUnits);

// Copies at most `fieldUnits - 1` units of a terminated text into a field and zeroes the
// rest, so the field is always terminated.
void Utf16CopyToField(Utf16Unit* field, uint32_t fieldUnits, const Utf16Unit* text,
                      uint32_t textUnits);
