#include "main/arguments.h"

#include "common/text.h"

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

bool HasSilentSwitch(const std::wstring& args) {
  static const wchar_t* const kSwitches[] = {L"/S", L"/SILENT", L"/VERYSILENT", L"/quiet", L"/qn"};
  for (const std::wstring& arg : SplitArguments(args)) {
    for (const wchar_t* silent : kSwitches) {
      if (EqualsIgnoringCase(arg, silent)) return true;
    }
  }
  return false;
}

std::wstring ArgumentsAfterProgramName(const std::wstring& commandLine) {
  size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    const size_t closing = commandLine.find(L'"', 1);
    i = closing == std::wstring::npos ? commandLine.size() : closing + 1;
  }
  while (i < commandLine.size() && commandLine[i] != L' ' && commandLine[i] != L'\t') ++i;
  while (i < commandLine.size() && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
  return commandLine.substr(i);
}

bool HasNoShortcutSwitch(const std::wstring& args) {
  for (const std::wstring& arg : SplitArguments(args)) {
    if (EqualsIgnoringCase(arg, L"-ns")) return true;
  }
  return false;
}
