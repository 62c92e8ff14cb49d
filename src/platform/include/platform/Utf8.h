// UTF-8 checks and conversions shared by the string tables and the dialog widgets.
#ifndef PLATFORM_UTF8_H
#define PLATFORM_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* text, size_t size);
inline bool IsValidUtf8(const std::string& text) { return IsValidUtf8(text.data(), text.size()); }

// Length of the text in UTF-16 code units (characters above U+FFFF count twice), or -1 when the
// text is not valid UTF-8.
long Utf16Length(const std::string& text);

// The text with every invalid sequence replaced by U+FFFD, for display only.
std::string MakeValidUtf8(const std::string& text);

// Appends the UTF-8 form of a code point (U+FFFD for surrogates and values above U+10FFFF).
void AppendUtf8(std::string* out, uint32_t codePoint);

}  // namespace platform

#endif
