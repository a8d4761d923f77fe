#include "text/placeholders.h"

std::wstring FillPlaceholders(const std::wstring& pattern, const std::vector<std::wstring>& values) {
  std::wstring text;
  text.reserve(pattern.size() + 32);
  for (size_t i = 0; i < pattern.size(); ++i) {
    const wchar_t c = pattern[i];
    const wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
    if (c == L'%' && next == L'%') {
      text += L'%';
      ++i;
    } else if (c == L'%' && next >= L'1' && next <= L'9' && static_cast<size_t>(next - L'1') < values.size()) {
      text += values[static_cast<size_t>(next - L'1')];
      ++i;
    } else {
      text += c;
    }
  }
  return text;
}
