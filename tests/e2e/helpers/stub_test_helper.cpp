// What a scenario needs done inside the Wine prefix, beside the stub:
//   trust-ca FILE.der [user|untrust-user]
//                                 trust a test CA for the whole machine, or for
//                                 the current user only, or take that away
//   hold KIND SECONDS RELEASE     hold a named object under one of the stub's
//                                 names (mutex, mailslot, semaphore), print
//                                 "ready", and keep it until the file RELEASE
//                                 exists or SECONDS have passed
//   messagebox TITLE SECONDS      wait for a message box with this title, print
//                                 its text and press OK; a TITLE "hex:..." is the
//                                 title's UTF-8 in hexadecimal (Wine garbles
//                                 other arguments beyond ASCII under a locale
//                                 that Linux lacks)
//   window TITLE SECONDS          print "watching", wait for a top-level window
//                                 with this text and print "found"
//   close-window TITLE SECONDS    wait for such a window and send it WM_CLOSE
//   press-escape TITLE SECONDS    wait for such a window and press Esc in it
//   accessible TITLE SECONDS MS   wait for the progress window with this text, then
//                                 MS milliseconds, and print what Active
//                                 Accessibility says of it, its bar and its line,
//                                 as JSON
//   post TEXT                     post TEXT to the stub's mailslot
//   wait-gone TITLE SECONDS       wait until no window with this text exists
//   read-link FILE.lnk            print a shell link's target and description
//   attack-installer LOG TEMP SECONDS
//                                 wait for the download's end in the stub's log,
//                                 then at once keep trying to overwrite and
//                                 delete the download in its run folder under
//                                 TEMP; print what happened
//   load-library NAME             load a DLL by name with the default search
//   verify-signature FILE         check FILE's Authenticode signature the way
//                                 Windows does (WinVerifyTrust, no UI) and print
//                                 {"status", "chain", "signer"} as JSON
//   wait-shell SECONDS            start the desktop if it is not running and wait
//                                 until its shell answers (the shell windows'
//                                 class object, the desktop's window among them);
//                                 print "ready" or the last error
//   keep-desktop                  stay on the desktop until the Wine session
//                                 ends (one keeper per session)
// The commands that look for a window take "--owner=NAME.exe" anywhere: then
// only a window of a process run from a program of that file name counts, not
// one that another test's program shows under the same title.
// Exit status 0 on success, 1 on time-out or failure, 2 on bad usage.
#include <windows.h>
#include <exdisp.h>
#include <objbase.h>
#include <oleacc.h>
#include <shlobj.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const wchar_t kMutexName[] = L"Global\\7b1d4e2a-93c0-4f58-8a6e-d25c0f4e9b31";
const wchar_t kSlotName[] = L"\\\\.\\mailslot\\orlendt_pexmira";
const wchar_t kEventName[] = L"orlendt_pexmira";

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int TrustCa(const std::wstring& derPath, const std::wstring& scope) {
  std::ifstream file(derPath.c_str(), std::ios::binary);
  std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    Print("cannot read the certificate");
    return 1;
  }
  const bool user = scope == L"user" || scope == L"untrust-user";
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   user ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    Print("cannot open the Root store: " + std::to_string(GetLastError()));
    return 1;
  }
  if (scope == L"untrust-user") {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT found = wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                                               nullptr)
                                  : nullptr;
    BYTE thumbprint[20] = {};
    DWORD size = sizeof(thumbprint);
    const BOOL hashed = wanted && CertGetCertificateContextProperty(wanted, CERT_SHA1_HASH_PROP_ID, thumbprint, &size);
    if (found != nullptr) CertDeleteCertificateFromStore(found);
    if (wanted) CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    // Wine drops the certificate from the store but leaves its registry key,
    // which the next process reads back as a trusted root: the key goes too.
    std::wstring key = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
    for (DWORD i = 0; hashed && i < size; ++i) {
      wchar_t pair[3];
      swprintf(pair, 3, L"%02X", thumbprint[i]);
      key += pair;
    }
    if (hashed) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    HKEY left = nullptr;
    const bool gone = hashed && RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &left) != ERROR_SUCCESS;
    if (left != nullptr) RegCloseKey(left);
    Print(gone ? "untrusted" : "still trusted");
    return gone ? 0 : 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    Print("cannot add the certificate: " + std::to_string(error));
    return 1;
  }
  Print("trusted");
  return 0;
}

int Hold(const std::wstring& kind, int seconds, const std::wstring& release) {
  HANDLE object = nullptr;
  if (kind == L"mutex") {
    object = CreateMutexW(nullptr, FALSE, kMutexName);
  } else if (kind == L"mailslot") {
    object = CreateMailslotW(kSlotName, 64, 0, nullptr);
    if (object == INVALID_HANDLE_VALUE) object = nullptr;
  } else if (kind == L"semaphore") {
    object = CreateSemaphoreW(nullptr, 1, 1, kEventName);
  } else {
    return 2;
  }
  if (object == nullptr) {
    Print("cannot create the object: " + std::to_string(GetLastError()));
    return 1;
  }
  Print("ready");
  for (int waited = 0; waited < seconds * 1000 && !Exists(release); waited += 50) Sleep(50);
  CloseHandle(object);
  return 0;
}

// The file name of the program whose process made window; empty when it
// can't be told (the process has ended, or may not be queried).
std::wstring OwnerProgramName(HWND window) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return {};
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  const BOOL named = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  if (!named) return {};
  const std::wstring full(path, size);
  const size_t slash = full.find_last_of(L"\\/");
  return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

// Which windows a command looks for: class (any when null), text, and the
// program that made it (any when empty).
struct WindowQuery {
  const wchar_t* className;
  std::wstring title;
  std::wstring owner;
};

HWND FindQueriedWindow(const WindowQuery& query) {
  if (query.owner.empty()) return FindWindowW(query.className, query.title.c_str());
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, query.className, query.title.c_str())) != nullptr) {
    if (lstrcmpiW(OwnerProgramName(window).c_str(), query.owner.c_str()) == 0) return window;
  }
  return nullptr;
}

HWND WaitForWindow(const WindowQuery& query, int seconds) {
  for (int waited = 0; waited <= seconds * 1000; waited += 50) {
    HWND window = FindQueriedWindow(query);
    if (window != nullptr) return window;
    Sleep(50);
  }
  return nullptr;
}

std::wstring DecodeArgument(const std::wstring& argument) {
  if (argument.rfind(L"hex:", 0) != 0) return argument;
  std::string bytes;
  for (size_t i = 4; i + 1 < argument.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(Utf8(argument.substr(i, 2)), nullptr, 16));
  }
  const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
  return text;
}

int ReadMessageBox(const std::wstring& argument, const std::wstring& owner, int seconds) {
  HWND box = WaitForWindow({L"#32770", DecodeArgument(argument), owner}, seconds);
  if (box == nullptr) {
    Print("no message box");
    return 1;
  }
  // The box's window exists a moment before its text does: a box found that
  // early would read as empty.
  wchar_t text[1024] = {};
  for (int waited = 0; waited < 5000 && GetDlgItemTextW(box, 0xFFFF, text, 1024) == 0; waited += 10) Sleep(10);
  Print(Utf8(text));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return 0;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Name, role and value of a window's client object, as a screen reader reads them.
std::string Describe(HWND window) {
  IAccessible* object = nullptr;
  if (window == nullptr ||
      FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&object)))) {
    return "null";
  }
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr, value = nullptr;
  VARIANT role;
  VariantInit(&role);
  object->get_accName(self, &name);
  object->get_accRole(self, &role);
  const bool hasValue = object->get_accValue(self, &value) == S_OK && value != nullptr;
  std::string json = "{\"name\": " + JsonString(name != nullptr ? name : L"") +
                     ", \"role\": " + std::to_string(role.vt == VT_I4 ? role.lVal : -1) +
                     ", \"value\": " + (hasValue ? JsonString(value) : std::string("null")) + "}";
  SysFreeString(name);
  SysFreeString(value);
  object->Release();
  return json;
}

int DescribeAccessibility(const WindowQuery& query, int seconds, int delayMs) {
  HWND window = WaitForWindow(query, seconds);
  if (window == nullptr) return 1;
  Sleep(static_cast<DWORD>(delayMs));
  CoInitialize(nullptr);
  Print("{\"window\": " + Describe(window) + ", \"bar\": " + Describe(GetDlgItem(window, 1001)) +
        ", \"line\": " + Describe(GetDlgItem(window, 1002)) + "}");
  CoUninitialize();
  return 0;
}

int Post(const std::wstring& text) {
  HANDLE slot = CreateFileW(kSlotName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (slot == INVALID_HANDLE_VALUE) return 1;
  const std::string bytes = Utf8(text);
  DWORD written = 0;
  const BOOL ok = WriteFile(slot, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(slot);
  return ok ? 0 : 1;
}

int ReadLink(const std::wstring& path) {
  CoInitialize(nullptr);
  int status = 1;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
      wchar_t target[MAX_PATH] = {};
      wchar_t description[MAX_PATH] = {};
      if (SUCCEEDED(file->Load(path.c_str(), STGM_READ)) &&
          SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH)) &&
          SUCCEEDED(link->GetDescription(description, MAX_PATH))) {
        Print(Utf8(target));
        Print(Utf8(description));
        status = 0;
      }
      file->Release();
    }
    link->Release();
  }
  CoUninitialize();
  return status;
}

std::string ReadShared(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
  CloseHandle(file);
  return text;
}

// The newest installer download in a run folder ("qmx-..." in TEMP), or none.
std::wstring FindDownload(const std::wstring& temp) {
  std::wstring newest;
  FILETIME newestTime = {};
  WIN32_FIND_DATAW folder;
  HANDLE folders = FindFirstFileW((temp + L"\\qmx-*").c_str(), &folder);
  if (folders == INVALID_HANDLE_VALUE) return newest;
  do {
    if ((folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    const std::wstring inside = temp + L"\\" + folder.cFileName + L"\\";
    WIN32_FIND_DATAW file;
    HANDLE files = FindFirstFileW((inside + L"qmx*.exe").c_str(), &file);
    if (files == INVALID_HANDLE_VALUE) continue;
    if (newest.empty() || CompareFileTime(&folder.ftCreationTime, &newestTime) > 0) {
      newest = inside + file.cFileName;
      newestTime = folder.ftCreationTime;
    }
    FindClose(files);
  } while (FindNextFileW(folders, &folder));
  FindClose(folders);
  return newest;
}

// Waits for the download's end in the stub's log ("End download", written
// before the download call returns), then at once keeps trying to change and
// delete the downloaded file: the moment between the download's return and
// the stub's hold on the file is the first one attacked. Counts what worked
// before the first refusal (the hold) and after it.
int AttackInstaller(const std::wstring& log, const std::wstring& temp, int seconds) {
  const size_t start = ReadShared(log).size();
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  std::wstring target;
  bool ended = false;
  while (!ended && GetTickCount64() < deadline) {
    const std::string text = ReadShared(log);
    ended = text.size() > start && text.find("End download", start) != std::string::npos;
    if (!ended) Sleep(1);
  }
  // Wine's URL monikers may write the file a moment after that record.
  while (ended && target.empty() && GetTickCount64() < deadline) {
    target = FindDownload(temp);
    if (target.empty()) Sleep(1);
  }
  int refused = 0, written = 0, writtenBeforeHold = 0, deleted = 0;
  while (!target.empty() && GetTickCount64() < deadline && Exists(target)) {
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      const char evil[] = "MZ swapped";
      DWORD count = 0;
      if (WriteFile(file, evil, sizeof(evil), &count, nullptr)) {
        ++written;
        if (refused == 0) ++writtenBeforeHold;
      }
      CloseHandle(file);
    } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
      ++refused;
    }
    if (DeleteFileW(target.c_str())) ++deleted;
    Sleep(1);
  }
  Print("{\"ended\": " + std::string(ended ? "true" : "false") +
        ", \"found\": " + std::string(target.empty() ? "false" : "true") + ", \"refused\": " + std::to_string(refused) +
        ", \"written\": " + std::to_string(written) + ", \"written_before_hold\": " +
        std::to_string(writtenBeforeHold) + ", \"deleted\": " + std::to_string(deleted) + "}");
  return target.empty() ? 1 : 0;
}

int VerifySignature(const std::wstring& path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  DWORD chain = 0;
  std::wstring signer;
  CRYPT_PROVIDER_DATA* provider = data.hWVTStateData ? WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
  CRYPT_PROVIDER_SGNR* sgnr = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  if (sgnr != nullptr && sgnr->pChainContext != nullptr) {
    chain = sgnr->pChainContext->TrustStatus.dwErrorStatus;
    PCCERT_CONTEXT cert = sgnr->pChainContext->rgpChain[0]->rgpElement[0]->pCertContext;
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    signer = name;
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  Print("{\"status\": " + std::to_string(static_cast<unsigned long>(status)) + ", \"chain\": " + std::to_string(chain) +
        ", \"signer\": \"" + Utf8(signer) + "\"}");
  return 0;
}

// Stands in for the desktop's shell, which Wine's desktop does not register:
// a window of this process becomes the desktop's shell window, so that the
// stub finds its user as it does on Windows, until `seconds` have passed or
// the process is ended.
int DesktopShell(int seconds) {
  using SetShellWindowCall = BOOL(WINAPI*)(HWND);
  const auto setShellWindow = reinterpret_cast<SetShellWindowCall>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetShellWindow"));
  HWND window = CreateWindowExW(0, L"STATIC", L"stub test shell", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                nullptr);
  if (setShellWindow == nullptr || window == nullptr || !setShellWindow(window)) {
    Print("cannot become the shell: " + std::to_string(GetLastError()));
    return 1;
  }
  Print("ready");
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 200, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  return 0;
}

// Until the desktop's shell hands out its desktop window: Wine starts the
// desktop (its explorer) with the first program that asks for the desktop's
// window, and the shell's class is registered a moment later.
int WaitForShell(int seconds) {
  GetDesktopWindow();
  HRESULT result = CoInitialize(nullptr);
  if (FAILED(result)) {
    Print("cannot start COM: " + std::to_string(static_cast<unsigned long>(result)));
    return 1;
  }
  for (int waited = 0; waited <= seconds * 1000; waited += 100) {
    IShellWindows* windows = nullptr;
    result = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              reinterpret_cast<void**>(&windows));
    if (SUCCEEDED(result)) {
      VARIANT desktop, none;
      VariantInit(&desktop);
      VariantInit(&none);
      desktop.vt = VT_I4;
      desktop.lVal = CSIDL_DESKTOP;
      long window = 0;
      IDispatch* dispatch = nullptr;
      result = windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &dispatch);
      if (SUCCEEDED(result) && dispatch == nullptr) result = E_POINTER;
      if (dispatch != nullptr) dispatch->Release();
      windows->Release();
      if (SUCCEEDED(result)) break;
    }
    Sleep(100);
  }
  CoUninitialize();
  if (FAILED(result)) {
    Print("the desktop's shell did not answer within " + std::to_string(seconds) + " s: error " +
          std::to_string(static_cast<unsigned long>(result)));
    return 1;
  }
  Print("ready");
  return 0;
}

// Wine closes a desktop, and its shell with it, about a second after the last
// program on it ends; Windows' shell stays for the whole session. A keeper on
// the desktop makes the test session behave as Windows does, so that a
// program never starts while the shell is only coming up.
int KeepDesktop() {
  const HANDLE keeper = CreateMutexW(nullptr, FALSE, L"Local\\StubTestDesktopKeeper");
  if (keeper == nullptr) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  GetDesktopWindow();
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args;
  std::wstring owner;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg.rfind(L"--owner=", 0) == 0) {
      owner = arg.substr(8);
    } else {
      args.push_back(arg);
    }
  }
  const size_t count = args.size();
  if (count < 1) return 2;
  const std::wstring& command = args[0];
  const auto seconds = [&](size_t index) { return count > index ? _wtoi(args[index].c_str()) : 10; };
  const auto query = [&]() { return WindowQuery{nullptr, args[1], owner}; };
  if (command == L"trust-ca" && (count == 2 || count == 3)) return TrustCa(args[1], count == 3 ? args[2] : L"machine");
  if (command == L"desktop-shell" && count == 2) return DesktopShell(seconds(1));
  if (command == L"hold" && count == 4) return Hold(args[1], seconds(2), args[3]);
  if (command == L"messagebox" && count >= 2) return ReadMessageBox(args[1], owner, seconds(2));
  if (command == L"window" && count >= 2) {
    // A watcher that started after the window had come and gone would find
    // nothing: the caller waits for this line before it starts the program.
    Print("watching");
    if (WaitForWindow(query(), seconds(2)) == nullptr) return 1;
    Print("found");
    return 0;
  }
  if (command == L"close-window" && count >= 2) {
    HWND window = WaitForWindow(query(), seconds(2));
    if (window == nullptr) return 1;
    PostMessageW(window, WM_CLOSE, 0, 0);
    Print("closed");
    return 0;
  }
  if (command == L"press-escape" && count >= 2) {
    HWND window = WaitForWindow(query(), seconds(2));
    if (window == nullptr) return 1;
    // What a key press delivers to the focused dialog's modal loop.
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
    Print("pressed");
    return 0;
  }
  if (command == L"accessible" && count == 4) return DescribeAccessibility(query(), seconds(2), _wtoi(args[3].c_str()));
  if (command == L"wait-gone" && count >= 2) {
    for (int waited = 0; waited <= seconds(2) * 1000; waited += 50) {
      if (FindQueriedWindow(query()) == nullptr) return 0;
      Sleep(50);
    }
    return 1;
  }
  if (command == L"post" && count == 2) return Post(args[1]);
  if (command == L"read-link" && count == 2) return ReadLink(args[1]);
  if (command == L"attack-installer" && count == 4) return AttackInstaller(args[1], args[2], seconds(3));
  if (command == L"verify-signature" && count == 2) return VerifySignature(args[1]);
  if (command == L"wait-shell" && count == 2) return WaitForShell(seconds(1));
  if (command == L"keep-desktop" && count == 1) return KeepDesktop();
  if (command == L"load-library" && count == 2) {
    HMODULE module = LoadLibraryW(args[1].c_str());
    wchar_t path[MAX_PATH] = {};
    if (module != nullptr) GetModuleFileNameW(module, path, MAX_PATH);
    Print(module != nullptr ? Utf8(path) : "not loaded");
    return module != nullptr ? 0 : 1;
  }
  return 2;
}
