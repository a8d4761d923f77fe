#include "main/fatal_error.h"

const wchar_t* FatalErrorMessage(ErrorCode code) {
  switch (code) {
    case ErrorCode::kConfigDownload: return L"Cannot obtain configuration. Error code 1";
    case ErrorCode::kConfigParse: return L"Cannot obtain configuration. Error code 3";
    case ErrorCode::kInstallerDownload: return L"Cannot obtain installer. Error code 4";
    case ErrorCode::kInstallerOpen: return L"Cannot obtain installer. Error code 5";
    case ErrorCode::kChecksumMismatch: return L"The installation file is corrupted. Error code 6";
    case ErrorCode::kCommunicationEvent: return L"Failed to create communication event. Error code 7";
    case ErrorCode::kCommunicationSlot: return L"Failed to create communication slot. Error code 8";
    case ErrorCode::kInstallerLaunch: return L"Cannot start installer. Error code 9";
    case ErrorCode::kUnsafeDllSearch:
      return L"This version of Windows lacks an update that the installer needs to run safely. "
             L"Please install the latest Windows updates. Error code 11";
    case ErrorCode::kSideEffect:
    case ErrorCode::kClosedByUser: break;
  }
  return L"";
}

DWORD ReportFatalError(ErrorCode code) {
  if (code == ErrorCode::kClosedByUser) return 0;
  MessageBoxW(nullptr, FatalErrorMessage(code), L"We apologize!", MB_OK | MB_ICONERROR);
  return static_cast<DWORD>(code);
}
