// A download's binding as URL monikers hand it to the status callback, and
// the data they hand over, for the tests of the callback and the download.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <wrl/client.h>

#include <string>

#include "download/callback_handler.h"

// Counts what the watchdog asks of the download's binding.
class FakeBinding : public IBinding {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP Abort() override {
    ++aborts;
    if (abortSeen != nullptr) SetEvent(abortSeen);
    // URL monikers may report the stop on the aborting thread itself.
    if (stopOnAbort != nullptr) stopOnAbort->OnStopBinding(E_ABORT, nullptr);
    return S_OK;
  }
  STDMETHODIMP Suspend() override { return E_NOTIMPL; }
  STDMETHODIMP Resume() override { return E_NOTIMPL; }
  STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }

  ULONG references = 1;
  int aborts = 0;
  CallbackHandler* stopOnAbort = nullptr;
  HANDLE abortSeen = nullptr;
};

// Hands the bytes to the callback as URL monikers hand over a storage
// binding's data: a stream the callback reads until it has no more.
inline HRESULT DeliverData(IBindStatusCallback* callback, const std::string& bytes) {
  Microsoft::WRL::ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return E_OUTOFMEMORY;
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  const LARGE_INTEGER start = {};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  STGMEDIUM medium = {};
  medium.tymed = TYMED_ISTREAM;
  medium.pstm = stream.Get();
  return callback->OnDataAvailable(BSCF_FIRSTDATANOTIFICATION | BSCF_LASTDATANOTIFICATION,
                                   static_cast<DWORD>(bytes.size()), nullptr, &medium);
}
