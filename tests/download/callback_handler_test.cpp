#include "download/callback_handler.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>

#include "common/unique_handle.h"
#include "download/download_watchdog.h"
#include "progress/progress_window.h"
#include "support/fake_binding.h"
#include "support/log_capture.h"

namespace {

using Records = std::vector<std::string>;

// The real progress window on its own thread, so that the positions the
// callback sends can be read back from its bar.
class ProgressBarFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.Start(GetModuleHandleW(nullptr));
    ASSERT_NE(window_.Bar(), nullptr);
  }
  int Position() const { return static_cast<int>(SendMessageW(window_.Bar(), PBM_GETPOS, 0, 0)); }

  ProgressWindow window_;
};

}  // namespace

TEST(CallbackHandlerInterface, AnswersOnlyForItsThreeInterfacesAndCountsNothing) {
  CallbackHandler handler;
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(handler.QueryInterface(IID_IBindStatusCallback, &object), S_OK);
  EXPECT_EQ(object, static_cast<IBindStatusCallback*>(&handler));
  object = nullptr;
  EXPECT_EQ(handler.QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_EQ(object, static_cast<IBindStatusCallback*>(&handler));
  EXPECT_EQ(handler.QueryInterface(IID_IHttpNegotiate, &object), S_OK);
  EXPECT_EQ(object, static_cast<IHttpNegotiate*>(&handler));
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(handler.QueryInterface(IID_IStream, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(handler.AddRef(), 2u);
    EXPECT_EQ(handler.Release(), 1u);
  }

  LONG priority = 7;
  // The binding is kept only so that a stalled download can be aborted.
  EXPECT_EQ(handler.OnStartBinding(0, nullptr), S_OK);
  EXPECT_FALSE(handler.Abort());
  EXPECT_EQ(handler.GetPriority(&priority), E_NOTIMPL);
  EXPECT_EQ(priority, 7);
  EXPECT_EQ(handler.OnLowResource(0), E_NOTIMPL);
  EXPECT_EQ(handler.OnObjectAvailable(IID_IUnknown, nullptr), E_NOTIMPL);
  EXPECT_EQ(handler.OnDataAvailable(0, 0, nullptr, nullptr), S_OK) << "no stream: nothing to take";
  EXPECT_EQ(handler.OnStopBinding(S_OK, nullptr), S_OK);
  EXPECT_TRUE(handler.Stopped());
  BINDINFO info = {};
  info.cbSize = sizeof(info);
  DWORD flags = 0;
  ASSERT_EQ(handler.GetBindInfo(&flags, &info), S_OK);
  EXPECT_EQ(flags & (BINDF_PULLDATA | BINDF_NOWRITECACHE | BINDF_NEEDFILE), BINDF_PULLDATA | BINDF_NOWRITECACHE)
      << "pulled by the callback, and no copy in the Internet cache";
}

TEST(CallbackHandlerAttempts, EachAttemptReadsItsOwnAnswerAndIsWatchedFromItsStart) {
  CallbackHandler handler;
  LPWSTR added = reinterpret_cast<LPWSTR>(1);
  EXPECT_EQ(handler.BeginningTransaction(L"http://dl.example/qmx.exe", L"", 0, &added), S_OK);
  EXPECT_EQ(added, nullptr);
  added = reinterpret_cast<LPWSTR>(1);
  EXPECT_EQ(handler.OnResponse(200, L"HTTP/1.1 200 OK\r\nContent-Length: 42\r\n", nullptr, &added), S_OK);
  EXPECT_EQ(added, nullptr);
  EXPECT_EQ(handler.Headers().contentLength, 42u);
  // Headers without a status line still carry the status URL monikers read.
  EXPECT_EQ(handler.OnResponse(503, L"Content-Length: 7\r\n", nullptr, nullptr), S_OK);
  EXPECT_EQ(handler.Headers().status, 503u);
  EXPECT_EQ(handler.Headers().contentLength, 7u);
  EXPECT_EQ(handler.OnProgress(0, 0, BINDSTATUS_CONNECTING, nullptr), S_OK);
  EXPECT_TRUE(handler.LastNotificationAt().has_value());

  // The next attempt asks for the rest, under the first answer's version.
  handler.BeginAttempt(nullptr, 300, L"\"v1\"");
  EXPECT_EQ(handler.Headers().status, 0u);
  EXPECT_FALSE(handler.Headers().contentLength.has_value());
  // A stalled attempt's last notification must not make the next one stalled.
  EXPECT_FALSE(handler.LastNotificationAt().has_value());
  ASSERT_EQ(handler.BeginningTransaction(L"http://dl.example/qmx.exe", L"", 0, &added), S_OK);
  ASSERT_NE(added, nullptr);
  EXPECT_STREQ(added, L"Range: bytes=300-\r\nIf-Range: \"v1\"\r\n");
  CoTaskMemFree(added);
}

TEST(CallbackHandlerLog, EachStatusCodeHasItsRecord) {
  LogCapture log;
  CallbackHandler handler;
  for (ULONG code : {1u, 2u, 4u, 11u, 13u, 14u, 0u, 3u, 7u, 12u, 40u}) {
    EXPECT_EQ(handler.OnProgress(0, 0, code, L"ignored"), S_OK);
  }
  EXPECT_EQ(log.Records(), (Records{"INFO  Finding resource...", "INFO  Connecting...", "INFO  Begin download",
                                    "INFO  Sending request...", "INFO  Mime type available",
                                    "INFO  Cache filename available", "INFO  Status code : 0", "INFO  Status code : 3",
                                    "INFO  Status code : 7", "INFO  Status code : 12", "INFO  Status code : 40"}));
}

TEST(CallbackHandlerRedirect, ADownloadThatBeganOnHttpsIsAbortedWhenRedirectedElsewhere) {
  EXPECT_TRUE(IsRefusedRedirect(true, L"http://dl.example/qmx.exe"));
  EXPECT_TRUE(IsRefusedRedirect(true, L"ftp://dl.example/qmx.exe"));
  EXPECT_TRUE(IsRefusedRedirect(true, L"https:/dl.example"));
  EXPECT_TRUE(IsRefusedRedirect(true, L""));
  EXPECT_TRUE(IsRefusedRedirect(true, nullptr));
  EXPECT_FALSE(IsRefusedRedirect(true, L"https://mirror.example/qmx.exe"));
  EXPECT_FALSE(IsRefusedRedirect(true, L"HTTPS://MIRROR.EXAMPLE/qmx.exe"));
  EXPECT_FALSE(IsRefusedRedirect(false, L"http://dl.example/qmx.exe"));

  LogCapture log;
  CallbackHandler handler;
  handler.StartsFrom(L"HTTPS://dl.example/qmx.exe?rn=1");
  EXPECT_EQ(handler.OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"https://mirror.example/qmx.exe"), S_OK);
  EXPECT_FALSE(handler.RefusedRedirect());
  EXPECT_EQ(handler.OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://evil.example/qmx.exe"), E_ABORT);
  EXPECT_TRUE(handler.RefusedRedirect());
  EXPECT_EQ(log.Records(),
            (Records{"INFO  Status code : 3", "ERROR The installer's download was redirected from HTTPS to "
                                              "\"http://evil.example/qmx.exe\"; the redirect is refused"}));

  CallbackHandler plain;
  plain.StartsFrom(L"http://dl.example/qmx.exe");
  EXPECT_EQ(plain.OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://other.example/qmx.exe"), S_OK);
  EXPECT_FALSE(plain.RefusedRedirect());
}

TEST_F(ProgressBarFixture, OnlyARisingPercentageIsLoggedAndSent) {
  LogCapture log;
  CallbackHandler handler(&window_);
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
  CallbackHandler whole(&window_);
  whole.OnProgress(4294967295u, 4294967295u, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(Position(), 100);
  CallbackHandler half(&window_);
  half.OnProgress(2147483648u, 4294967295u, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(Position(), 50);

  CallbackHandler unknown;
  unknown.OnProgress(5000, 0, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  unknown.OnProgress(5000, 0, BINDSTATUS_ENDDOWNLOADDATA, nullptr);

  // More than the announced size is sent as it is; the bar shows full.
  CallbackHandler over(&window_);
  over.OnProgress(30, 10, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_EQ(Position(), 100);
  EXPECT_EQ(log.Records(), (Records{"INFO  100", "INFO  50", "INFO  End download", "INFO  300"}));
}

TEST(CallbackHandlerWithoutWindow, UpdatesGoNowhereButAreRemembered) {
  LogCapture log;
  CallbackHandler handler;
  handler.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  handler.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  handler.OnProgress(100, 100, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  EXPECT_EQ(log.Records(), (Records{"INFO  50", "INFO  100", "INFO  End download"}));
}

TEST(CallbackHandlerWatchdog, AStalledDownloadCanBeAbortedUntilItStops) {
  LogCapture log;
  CallbackHandler handler;
  EXPECT_FALSE(handler.LastNotificationAt()) << "nothing has been reported yet";
  FakeBinding binding;
  handler.OnStartBinding(0, &binding);
  EXPECT_EQ(binding.references, 2u);
  ASSERT_TRUE(handler.LastNotificationAt());
  const ULONGLONG started = *handler.LastNotificationAt();
  Sleep(100);
  handler.OnProgress(1, 10, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  EXPECT_GE(*handler.LastNotificationAt() - started, 50u) << "a notification restarts the clock";

  EXPECT_TRUE(handler.Abort());
  EXPECT_EQ(binding.aborts, 1);
  handler.OnStopBinding(E_ABORT, nullptr);
  EXPECT_EQ(binding.references, 1u) << "the binding is released when the download stops";
  EXPECT_FALSE(handler.Abort());
  EXPECT_EQ(binding.aborts, 1);
}

TEST(CallbackHandlerWatchdog, AStopReportedWithinTheAbortIsTaken) {
  CallbackHandler handler;
  FakeBinding binding;
  binding.stopOnAbort = &handler;
  handler.OnStartBinding(0, &binding);
  EXPECT_TRUE(handler.Abort());
  EXPECT_TRUE(handler.Stopped());
  EXPECT_EQ(handler.StopResult(), E_ABORT);
  EXPECT_EQ(binding.references, 1u) << "released after the stop";
  EXPECT_FALSE(handler.Abort());
}

TEST(DownloadWatchdog, JudgesWhyATransferIsToBeAborted) {
  LogCapture log;
  ULONGLONG now = 1000000;
  struct Case {
    const char* name;
    std::function<void(CallbackHandler&)> happen;  // over the first 61 s, one call a second
    bool closed;
    DownloadAbort verdict;
  };
  const Case cases[] = {
      {"data every second", [](CallbackHandler& h) { DeliverData(&h, std::string(2048, 'x')); }, false,
       DownloadAbort::kNone},
      {"the user's close", [](CallbackHandler&) {}, true, DownloadAbort::kClosedByUser},
      {"silence", [](CallbackHandler&) {}, false, DownloadAbort::kStalled},
      {"a trickle", [](CallbackHandler& h) { DeliverData(&h, std::string(100, 'x')); }, false, DownloadAbort::kTooSlow},
      {"past the length",
       [](CallbackHandler& h) {
         h.OnResponse(200, L"Content-Length: 10\r\n", nullptr, nullptr);
         DeliverData(&h, std::string(11, 'x'));
       },
       false, DownloadAbort::kTooLong},
      {"refused by the callback", [](CallbackHandler& h) { h.OnResponse(404, L"", nullptr, nullptr); }, false,
       DownloadAbort::kRefused},
  };
  for (const Case& c : cases) {
    CallbackHandler handler(nullptr, [&now] { return now; });
    DownloadWatchdog watchdog(now);
    DownloadAbort verdict = DownloadAbort::kNone;
    for (int second = 0; second <= 61 && verdict == DownloadAbort::kNone; ++second, now += 1000) {
      c.happen(handler);
      verdict = watchdog.Judge(now, handler, c.closed);
    }
    EXPECT_EQ(verdict, c.verdict) << c.name;
  }
}

TEST(IsDownloadStalled, QuietForTheLimitSinceTheLastNotificationOrTheStart) {
  const ULONGLONG start = 1000000;
  // A notification within the tick of the check is a notification, not none.
  EXPECT_FALSE(IsDownloadStalled(start, start + 60000, start + 60000));
  // Never notified: counted from the start.
  EXPECT_FALSE(IsDownloadStalled(start, std::nullopt, start + kDownloadStallMs - 1));
  EXPECT_TRUE(IsDownloadStalled(start, std::nullopt, start + kDownloadStallMs));
  // Quiet just under and just over the limit.
  const ULONGLONG last = start + 45000;
  EXPECT_FALSE(IsDownloadStalled(start, last, last + kDownloadStallMs - 1));
  EXPECT_TRUE(IsDownloadStalled(start, last, last + kDownloadStallMs));
  EXPECT_TRUE(IsDownloadStalled(start, last, last + 10 * kDownloadStallMs));
}
