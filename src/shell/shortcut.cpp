#include "shell/shortcut.h"

#include <objidl.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "text/ui_text.h"

using Microsoft::WRL::ComPtr;

namespace {

Error ShortcutError(HRESULT result) { return Failure(static_cast<uint32_t>(result)); }

}  // namespace

Result<std::vector<unsigned char>> MakeContinueShortcut(const std::wstring& targetPath) {
  ComPtr<IShellLinkW> link;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(link.GetAddressOf()));
  if (FAILED(result)) return ShortcutError(result);

  // What these two set is seen in the saved link; their own results add nothing.
  link->SetPath(targetPath.c_str());
  link->SetDescription(ShortcutDescription().c_str());

  ComPtr<IPersistStream> persist;
  if (result = link.As(&persist); FAILED(result)) return ShortcutError(result);
  ComPtr<IStream> stream;
  if (result = CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()); FAILED(result)) {
    return ShortcutError(result);
  }
  if (result = persist->Save(stream.Get(), TRUE); FAILED(result)) return ShortcutError(result);
  STATSTG status = {};
  if (result = stream->Stat(&status, STATFLAG_NONAME); FAILED(result)) return ShortcutError(result);
  if (status.cbSize.QuadPart > 1024ULL * 1024) return ShortcutError(E_UNEXPECTED);
  std::vector<unsigned char> bytes(static_cast<size_t>(status.cbSize.QuadPart));
  LARGE_INTEGER start = {};
  if (result = stream->Seek(start, STREAM_SEEK_SET, nullptr); FAILED(result)) return ShortcutError(result);
  ULONG read = 0;
  result = stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  if (FAILED(result) || read != bytes.size()) return ShortcutError(FAILED(result) ? result : E_UNEXPECTED);
  return bytes;
}
