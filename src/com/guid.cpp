// The text form of GUIDs for the registry and the type descriptions.
#include "com/guid.h"

#include <cstdio>

#include "com/hresult.h"

namespace zq::com {

std::string guidToString(const GUID& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

int StringFromGUID2(REFGUID guid, char16_t* buffer, int size) {
  const std::string text = guidToString(guid);
  if (buffer == nullptr || size < static_cast<int>(text.size()) + 1) {
    return 0;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    buffer[i] = static_cast<char16_t>(text[i]);
  }
  buffer[text.size()] = 0;
  return static_cast<int>(text.size()) + 1;
}

int32_t CLSIDFromString(const char16_t* text, CLSID* clsid) {
  if (text == nullptr || clsid == nullptr) {
    return E_INVALIDARG;
  }
  std::string narrow;
  for (const char16_t* p = text; *p != 0 && narrow.size() <= 38; ++p) {
    if (*p > 0x7F) {
      return E_INVALIDARG;
    }
    narrow.push_back(static_cast<char>(*p));
  }
  const std::optional<GUID> parsed = guidFromText(narrow);
  if (!parsed) {
    return E_INVALIDARG;
  }
  *clsid = *parsed;
  return S_OK;
}

size_t GuidHash::operator()(const GUID& g) const noexcept {
  size_t h = g.Data1 ^ (size_t{g.Data2} << 16) ^ (size_t{g.Data3} << 32);
  for (uint8_t b : g.Data4) {
    h = h * 131 + b;
  }
  return h;
}

}  // namespace zq::com
