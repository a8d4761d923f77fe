#include "files/shortcut.h"

#include <objidl.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "text/ui_text.h"

using Microsoft::WRL::ComPtr;

namespace {

Error ShortcutError(HRESULT result) { return MakeError(ErrorCode::kSideEffect, static_cast<uint32_t>(result)); }

}  // namespace

Status CreateContinueShortcut(const std::wstring& targetPath, const std::wstring& linkPath) {
  ComPtr<IShellLinkW> link;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(link.GetAddressOf()));
  if (FAILED(result)) return ShortcutError(result);

  // What these two set is seen in the saved file; their own results add nothing.
  link->SetPath(targetPath.c_str());
  link->SetDescription(ShortcutDescription().c_str());

  ComPtr<IPersistFile> file;
  result = link.As(&file);
  if (FAILED(result)) return ShortcutError(result);
  result = file->Save(linkPath.c_str(), TRUE);
  if (FAILED(result)) return ShortcutError(result);
  return Status();
}
