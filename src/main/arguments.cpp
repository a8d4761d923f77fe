#include "main/arguments.h"

#include <cwctype>

std::vector<std::wstring> SplitArguments(const std::wstring& args) {
  std::vector<std::wstring> result;
  std::wstring current;
  bool inArgument = false;
  bool inQuotes = false;
  size_t i = 0;
  while (i < args.size()) {
    const wchar_t c = args[i];
    if (c == L'\\') {
      size_t slashes = 0;
      while (i < args.size() && args[i] == L'\\') {
        ++slashes;
        ++i;
      }
      inArgument = true;
      if (i < args.size() && args[i] == L'"') {
        current.append(slashes / 2, L'\\');
        if (slashes % 2 == 1) {
          current += L'"';
          ++i;
        }
      } else {
        current.append(slashes, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      inArgument = true;
      if (inQuotes && i + 1 < args.size() && args[i + 1] == L'"') {
        current += L'"';  // "" inside quotes is a literal quote
        i += 2;
        continue;
      }
      inQuotes = !inQuotes;
      ++i;
      continue;
    }
    if ((c == L' ' || c == L'\t') && !inQuotes) {
      if (inArgument) result.push_back(current);
      current.clear();
      inArgument = false;
      ++i;
      continue;
    }
    current += c;
    inArgument = true;
    ++i;
  }
  if (inArgument) result.push_back(current);
  return result;
}

bool HasNoShortcutSwitch(const std::wstring& args) {
  for (const std::wstring& arg : SplitArguments(args)) {
    if (arg.size() == 3 && arg[0] == L'-' && std::towlower(arg[1]) == L'n' &&
        std::towlower(arg[2]) == L's') {
      return true;
    }
  }
  return false;
}
