#include "main/fatal_error.h"

#include "main/unattended.h"
#include "resource.h"
#include "text/ui_text.h"

namespace {

std::wstring FatalErrorText(ErrorCode code, LanguageId language) {
  switch (code) {
    case ErrorCode::kConfigUnavailable:
    case ErrorCode::kConfigInvalid:
    case ErrorCode::kInstallerUnavailable:
    case ErrorCode::kInstallerUnreadable:
    case ErrorCode::kInstallerRejected:
    case ErrorCode::kNoCompletionEvent:
    case ErrorCode::kNoMailslot:
    case ErrorCode::kInstallerNotStarted:
    case ErrorCode::kUnsafeDllSearch: return LoadUiText(IDS_ERROR_BASE + static_cast<UINT>(code), language);
    case ErrorCode::kNone:
    case ErrorCode::kClosedByUser: break;
  }
  return std::wstring();
}

}  // namespace

std::wstring FatalErrorMessage(ErrorCode code, LanguageId language, uint32_t hint) {
  std::wstring text = FatalErrorText(code, language);
  if (!text.empty() && hint != 0) text += L"\n" + LoadUiText(hint, language);
  return text;
}

DWORD ReportFatalError(ErrorCode code, uint32_t hint) {
  // Every step gives the failures that end a run their code; one without is
  // a fault of the step, never a success.
  STUB_CHECK_RESULT(code != ErrorCode::kNone);
  if (code == ErrorCode::kClosedByUser) return 0;
  if (ProcessAttendance() == Attendance::kAttended) {
    const LanguageId language = UiLanguage();
    const UINT mirrored = IsRightToLeft(language) ? MB_RTLREADING | MB_RIGHT : 0;
    MessageBoxW(nullptr, FatalErrorMessage(code, language, hint).c_str(), LoadUiText(IDS_BOX_TITLE, language).c_str(),
                MB_OK | MB_ICONERROR | mirrored);
  }
  return static_cast<DWORD>(code);
}
