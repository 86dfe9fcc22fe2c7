// UTF-16 text in fixed fields: lengths bounded by the field, ordinal comparison, and the
// engine's case folding.
//
// Names and paths are compared as Windows compares them, without regard to case over the
// Basic Multilingual Plane: two units are the same when their simple uppercase mappings
// are. The engine stores and compares every name in one folded form, the lower case of
// that uppercase ("JÖRG" and "Jörg" become "jörg"; "Σ", "σ" and "ς" become "σ"), so that
// the comparisons themselves stay ordinal. Dotless ı (U+0131) and long ſ (U+017F) are not
// folded onto "i" and "s", as the NTFS upcase table does not fold them; "İ" (U+0130) is a
// class of its own. Surrogates have no case, so characters outside the BMP compare as
// they are. The table is engine/case_fold_table.h, made by scripts/gen-case-table.py.
#pragma once

#include <stdint.h>

#include "records.h"

const Utf16Unit Backslash = '\\';

// Units before the terminator, at most `maxUnits`.
uint32_t Utf16Length(const Utf16Unit* text, uint32_t maxUnits);

// The folded form of one unit.
Utf16Unit Utf16FoldUnit(Utf16Unit unit);
// Folds `units` units in place (ASCII "A" to "Z" become "a" to "z").
void Utf16LowerCase(Utf16Unit* text, uint32_t units);

bool Utf16Equal(const Utf16Unit* a, uint32_t aUnits, const Utf16Unit* b, uint32_t bUnits);

// Index of the first occurrence of `needle` in `text`, or -1. The empty needle occurs at 0.
int32_t Utf16Find(const Utf16Unit* text, uint32_t textUnits, const Utf16Unit* needle,
                  uint32_t needleUnits);

// Copies at most `fieldUnits - 1` units of a terminated text into a field and zeroes the
// rest, so the field is always terminated.
void Utf16CopyToField(Utf16Unit* field, uint32_t fieldUnits, const Utf16Unit* text,
                      uint32_t textUnits);
