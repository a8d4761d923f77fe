#include "progress/callback_handler.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include "progress/progress_window.h"
#include "support/log_capture.h"

namespace {

using Records = std::vector<std::string>;

// A real progress bar in a window of this thread, so that the positions the
// callback sends can be read back.
class ProgressBarFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    parent_ = CreateWindowExW(0, L"STATIC", L"test", WS_POPUP, 0, 0, 300, 50, nullptr, nullptr, nullptr, nullptr);
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | PBS_SMOOTH, 0, 0, 200, 20, parent_, nullptr,
                           nullptr, nullptr);
    ASSERT_NE(bar_, nullptr);
    g_progressBar.store(bar_);
  }
  void TearDown() override {
    g_progressBar.store(nullptr);
    DestroyWindow(parent_);
  }
  int Position() const { return static_cast<int>(SendMessageW(bar_, PBM_GETPOS, 0, 0)); }

  HWND parent_ = nullptr;
  HWND bar_ = nullptr;
};

}  // namespace

TEST(CallbackHandlerInterface, AnswersOnlyForItsTwoInterfacesAndCountsNothing) {
  CallbackHandler handler;
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(handler.QueryInterface(IID_IBindStatusCallback, &object), S_OK);
  EXPECT_EQ(object, static_cast<IBindStatusCallback*>(&handler));
  object = nullptr;
  EXPECT_EQ(handler.QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_EQ(object, static_cast<IBindStatusCallback*>(&handler));
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(handler.QueryInterface(IID_IStream, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(handler.AddRef(), 2u);
    EXPECT_EQ(handler.Release(), 1u);
  }

  LONG priority = 7;
  DWORD flags = 9;
  // The binding is kept only so that a stalled download can be aborted.
  EXPECT_EQ(handler.OnStartBinding(0, nullptr), S_OK);
  EXPECT_FALSE(handler.Abort());
  EXPECT_EQ(handler.GetPriority(&priority), E_NOTIMPL);
  EXPECT_EQ(priority, 7);
  EXPECT_EQ(handler.OnLowResource(0), E_NOTIMPL);
  EXPECT_EQ(handler.OnStopBinding(S_OK, nullptr), S_OK);
  EXPECT_EQ(handler.GetBindInfo(&flags, nullptr), E_NOTIMPL);
  EXPECT_EQ(flags, 9u);
  EXPECT_EQ(handler.OnDataAvailable(0, 0, nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(handler.OnObjectAvailable(IID_IUnknown, nullptr), E_NOTIMPL);
}

TEST(CallbackHandlerLog, EachStatusCodeHasItsRecord) {
  LogCapture log;
  CallbackHandler handler;
  for (ULONG code : {1u, 2u, 4u, 11u, 13u, 14u, 0u, 3u, 7u, 12u, 40u}) {
    EXPECT_EQ(handler.OnProgress(0, 0, code, L"ignored"), S_OK);
  }
  EXPECT_EQ(log.Records(), (Records{"INFO  Finding resource...", "INFO  Connecting...", "INFO  Begin download",
                                    "INFO  Sending request...", "INFO  Mime type available",
                                    "INFO  Cache filename available", "INFO  Status code : 0",
                                    "INFO  Status code : 3", "INFO  Status code : 7",
                                    "INFO  Status code : 12", "INFO  Status code : 40"}));
}

TEST_F(ProgressBarFixture, OnlyARisingPercentageIsLoggedAndSent) {
  LogCapture log;
  CallbackHandler handler;
  for (ULONG progress : {0u, 10u, 15u, 20u}) {
    handler.OnProgress(progress, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  }
  EXPECT_EQ(Position(), 2);
  handler.OnProgress(1000, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(Position(), 100);
  handler.OnProgress(990, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(Position(), 100) << "the bar never moves back";
  // The end after 100 was sent: only the end record.
  handler.OnProgress(1000, 1000, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  EXPECT_EQ(log.Records(), (Records{"INFO  1", "INFO  2", "INFO  100", "INFO  End download"}));
}

TEST_F(ProgressBarFixture, LargeAndUnknownSizes) {
  LogCapture log;
  CallbackHandler whole;
  whole.OnProgress(4294967295u, 4294967295u, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(whole.LastPercent(), 100);
  CallbackHandler half;
  half.OnProgress(2147483648u, 4294967295u, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(half.LastPercent(), 50);

  CallbackHandler unknown;
  unknown.OnProgress(5000, 0, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  unknown.OnProgress(5000, 0, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  EXPECT_EQ(unknown.LastPercent(), 0);

  // More than the announced size is sent as it is; the bar shows full.
  CallbackHandler over;
  over.OnProgress(30, 10, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(over.LastPercent(), 300);
  EXPECT_EQ(log.Records(), (Records{"INFO  100", "INFO  50", "INFO  End download", "INFO  300"}));
}

TEST(CallbackHandlerWithoutWindow, UpdatesGoNowhereButAreRemembered) {
  LogCapture log;
  g_progressBar.store(nullptr);
  CallbackHandler handler;
  handler.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  handler.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(handler.LastPercent(), 50);
  EXPECT_EQ(log.Records(), (Records{"INFO  50"}));
}

namespace {

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
    return S_OK;
  }
  STDMETHODIMP Suspend() override { return E_NOTIMPL; }
  STDMETHODIMP Resume() override { return E_NOTIMPL; }
  STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }

  ULONG references = 1;
  int aborts = 0;
};

}  // namespace

TEST(CallbackHandlerWatchdog, AStalledDownloadCanBeAbortedUntilItStops) {
  LogCapture log;
  CallbackHandler handler;
  EXPECT_EQ(handler.MillisecondsSinceLastNotification(), 0u) << "nothing has been reported yet";
  FakeBinding binding;
  handler.OnStartBinding(0, &binding);
  EXPECT_EQ(binding.references, 2u);
  Sleep(50);
  EXPECT_GE(handler.MillisecondsSinceLastNotification(), 40u);
  handler.OnProgress(1, 10, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_LT(handler.MillisecondsSinceLastNotification(), 40u) << "a notification restarts the clock";

  EXPECT_TRUE(handler.Abort());
  EXPECT_EQ(binding.aborts, 1);
  handler.OnStopBinding(E_ABORT, nullptr);
  EXPECT_EQ(binding.references, 1u) << "the binding is released when the download stops";
  EXPECT_FALSE(handler.Abort());
  EXPECT_EQ(binding.aborts, 1);
}
