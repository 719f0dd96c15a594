// GUIDs: generation and text conversion.
#pragma once

#include <string>

struct GUID {
  unsigned char data[16];
};

void GetNewGuid(GUID* guid);

namespace FXMisc {
// Accepts the 36-character form, optionally in braces, in either case.
bool ConvertStringToUuid(const std::string& text, GUID* guid);
}  // namespace FXMisc
