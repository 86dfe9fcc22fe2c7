// Builders for rules, templates, settings and text in the engine's UTF-16 fields.
#pragma once

#include <string>
#include <vector>

#include "records.h"

// UTF-16 units of a UTF-8 text (ASCII in most tests; "\\" for a backslash), unterminated.
std::vector<Utf16Unit> Utf8ToUnits(const std::string& utf8);
// A zero-terminated UTF-16 copy of a UTF-8 text.
std::vector<Utf16Unit> U16(const std::string& ascii);
// The text of a field up to its terminator, as UTF-8.
std::string Ascii(const Utf16Unit* text, size_t maxUnits = 1024);
void SetField(Utf16Unit* field, size_t units, const std::string& ascii);

// Flags in the order Report, DenyDelete, DenyModify, DenyRename, DenyCreate, DenyRead,
// DenyAll, KnownClientsOnly, as a string of '0' and '1' ("10100000").
AccessRule Rule(const std::string& path, const std::string& user, const std::string& flags);
std::string Flags(const AccessRule& rule);
