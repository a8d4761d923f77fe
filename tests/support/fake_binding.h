// A download's binding as URL monikers hand it to the status callback, for
// the tests of the watchdog and the download.
#pragma once

#include <windows.h>
#include <urlmon.h>

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
