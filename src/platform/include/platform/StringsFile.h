// Localized string tables: UTF-8 ".strings" files of the form
//   /* comment */  "key" = "value";   // comment
// with the escapes \n \t \r \" \' \\ and \Uxxxx (UTF-16 units; surrogate pairs combine).
#ifndef PLATFORM_STRINGS_FILE_H
#define PLATFORM_STRINGS_FILE_H

#include <map>
#include <string>

namespace platform {

using StringsTable = std::map<std::string, std::string>;

// Larger files are refused: a string table is a few kilobytes.
constexpr size_t kMaxStringsFileSize = 1024 * 1024;

// Parses the text of a table. On failure *table is left unchanged and *error (when given) names
// the line and the problem.
bool ParseStringsText(const std::string& text, StringsTable* table, std::string* error = nullptr);

// Reads and parses a file; a missing, unreadable or oversized file fails like a malformed one.
bool ParseStringsFile(const std::string& path, StringsTable* table, std::string* error = nullptr);

}  // namespace platform

#endif
