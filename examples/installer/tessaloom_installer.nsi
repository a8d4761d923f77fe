; The installer's side of the Tessaloom stub's contract, as an NSIS script to
; start a product's installer from:
;  - the stub starts it elevated with "-id <session> -v "<version>" <the stub's
;    own arguments>"; it reads the whole session identifier after -id (36
;    characters) and the version between the double quotes after -v;
;  - it ends with 0 (installed), 2 (cancelled by the user) or another code
;    (failed: 1603 here; never 2 or 5 for a failure, which the stub takes for
;    a cancellation, and never NSIS's own 1 or 2 for a cancel or an abort);
;  - before a cancellation it posts one message (at most 63 bytes) to the
;    stub's mailslot \\.\mailslot\orlendt_pexmira, with the System plug-in.
;
; Build (64-bit; TARGET=x86-unicode for the 32-bit installer NSIS makes by default):
;   makensis -DOUTFILE=tessaloom_installer.exe [-DTARGET=x86-unicode] tessaloom_installer.nsi
; then sign it with the stub's signer (README, "Shipping it").
;
; The product's files go into the section "Tessaloom"; the sample writes one
; file, tessaloom-install.txt, with the session and the version it read.

Unicode true
!ifndef TARGET
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
!ifndef OUTFILE
  !define OUTFILE tessaloom_installer.exe
!endif

!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define FAILED_EXIT_CODE 1603
!define CANCELLED_EXIT_CODE 2
!define STUB_MAILSLOT "\\.\mailslot\orlendt_pexmira"

Name "Tessaloom"
Caption "Tessaloom Installer"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
!if ${TARGET} == amd64-unicode
  InstallDir "$PROGRAMFILES64\Tessaloom"
!else
  InstallDir "$PROGRAMFILES\Tessaloom"
!endif
ShowInstDetails show
VIProductVersion 1.0.0.0
VIAddVersionKey ProductName "Tessaloom"
VIAddVersionKey ProductVersion "1.0.0"
VIAddVersionKey FileDescription "Tessaloom Installer"
VIAddVersionKey CompanyName "Pexmira"
VIAddVersionKey LegalCopyright "Copyright 2026 Pexmira"
VIAddVersionKey FileVersion "1.0.0"

Var SessionId
Var Version

Page directory
Page instfiles

; Position of the text $1 in the text $0 (letter case counts), -1 when absent: in $2.
Function FindText
  Push $3
  Push $4
  StrLen $3 $1
  StrCpy $2 0
  ${Do}
    StrCpy $4 $0 $3 $2
    ${If} $4 == ""
      StrCpy $2 -1
      ${Break}
    ${EndIf}
    ${If} $4 S== $1
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  Pop $4
  Pop $3
FunctionEnd

; The session identifier and the version from the stub's parameters. A
; parser that takes every "-" for the start of the next option (GetOptions)
; would cut the identifier at its first dash.
Function ReadStubParameters
  ${GetParameters} $0
  StrCpy $1 "-id "
  Call FindText
  ${If} $2 >= 0
    IntOp $2 $2 + 4
    StrCpy $SessionId $0 36 $2
  ${EndIf}
  StrCpy $1 '-v "'
  Call FindText
  ${If} $2 >= 0
    IntOp $2 $2 + 4
    StrCpy $0 $0 "" $2       ; the text after the opening quote
    StrCpy $1 '"'
    Call FindText            ; the closing quote
    ${If} $2 >= 0
      StrCpy $Version $0 $2
    ${EndIf}
  ${EndIf}
FunctionEnd

; Tells the stub that the user cancelled: one message, at most 63 bytes.
Function PostCancellationMessage
  StrCpy $1 "cancelled $SessionId"
  System::Call 'kernel32::CreateFileW(w "${STUB_MAILSLOT}", i 0x40000000, i 3, p 0, i 3, i 0, p 0) p .r0'
  ${If} $0 P<> -1
    StrLen $2 $1             ; ASCII text: one byte per character
    System::Call 'kernel32::WriteFile(p r0, m r1, i r2, *i .r3, p 0) i .r4'
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
FunctionEnd

Function .onInit
  Call ReadStubParameters
FunctionEnd

Function .onUserAbort
  Call PostCancellationMessage
  SetErrorLevel ${CANCELLED_EXIT_CODE}
FunctionEnd

Function Fail
  DetailPrint "The installation failed."
  SetErrorLevel ${FAILED_EXIT_CODE}
  Quit
FunctionEnd

Section "Tessaloom"
  ClearErrors
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    Call Fail
  ${EndIf}
  ; The product's files: File /r "payload\*.*"
  FileOpen $0 "$INSTDIR\tessaloom-install.txt" w
  ${If} $0 == ""
    Call Fail
  ${EndIf}
  FileWrite $0 "session=$SessionId$\r$\nversion=$Version$\r$\n"
  FileClose $0
  SetErrorLevel 0
SectionEnd
