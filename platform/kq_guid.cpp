#include "kq_guid.h"

#include <uuid/uuid.h>

void GetNewGuid(GUID* guid) { uuid_generate(guid->data); }

namespace FXMisc {

bool ConvertStringToUuid(const std::string& text, GUID* guid) {
  std::string bare = text;
  if (bare.size() == 38 && bare.front() == '{' && bare.back() == '}') {
    bare = bare.substr(1, 36);
  }
  if (bare.size() != 36) return false;
  uuid_t parsed;
  if (uuid_parse(bare.c_str(), parsed) != 0) return false;
  uuid_copy(guid->data, parsed);
  return true;
}

}  // namespace FXMisc
