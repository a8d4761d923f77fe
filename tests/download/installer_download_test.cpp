// The download's roads that no test server reaches, driven through its
// system seams and a clock of the test's own: the attempts, their pauses and
// their budget, a close during a transfer and during a pause, a refused
// redirect, an overrun, a scanner holding the file, and a transfer that
// ignores its abort.
#include "download/installer_download.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <vector>

#include "files/paths.h"
#include "support/fake_binding.h"
#include "support/log_capture.h"
#include "trust/installer_file.h"

namespace {

constexpr HRESULT kDropped = static_cast<HRESULT>(0x800C0008);  // INET_E_DOWNLOAD_FAILURE
constexpr ULONGLONG kTransferMs = 100;                          // what each fake transfer takes
const std::string kInstaller(4096, 'i');

// What one fake transfer does: answer with a status, write so many bytes of
// the installer to the path, and return a result.
struct Answer {
  DWORD status;
  size_t written;
  HRESULT result;
};

// Writes the first bytes of the installer to path, as a transfer that ends
// there leaves it.
void WriteStart(const std::wstring& path, size_t count) {
  const UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  WriteFile(file.get(), kInstaller.data(), static_cast<DWORD>(count), &written, nullptr);
}

// Answers as a server would through the callback: the headers, then the data.
HRESULT Report(IBindStatusCallback* callback, DWORD status, size_t written, bool done) {
  IHttpNegotiate* negotiate = nullptr;
  callback->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&negotiate));
  const std::wstring headers = L"HTTP/1.1 " + std::to_wstring(status) + L" X\r\nContent-Length: " +
                               std::to_wstring(kInstaller.size()) + L"\r\n";
  negotiate->OnResponse(status, headers.c_str(), nullptr, nullptr);
  const ULONG total = static_cast<ULONG>(kInstaller.size());
  HRESULT reported = S_OK;
  if (written > 0)
    reported = callback->OnProgress(static_cast<ULONG>(written), total, BINDSTATUS_DOWNLOADINGDATA, nullptr);
  if (done && reported == S_OK) {
    reported = callback->OnProgress(static_cast<ULONG>(written), total, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  }
  return reported;
}

class InstallerDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = *GetTempFolder() + L"installer-download-test-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(parent_.c_str(), nullptr);
    auto made = RunFolder::Make(parent_);
    ASSERT_TRUE(made) << made.error().systemError;
    folder_.emplace(*std::move(made));
  }
  void TearDown() override {
    folder_.reset();  // removes what the run made, as an ended run does
    RemoveDirectoryW(parent_.c_str());
  }

  // A system on the test's clock whose pauses pass at once (the clock moves
  // on by them), or end as closed by the user; its pauses are the longest.
  DownloadSystem Pausing(bool closeInPause) {
    DownloadSystem system;
    system.wait = [this, closeInPause](HANDLE, DWORD ms) {
      pauses_.push_back(ms);
      now_ += ms;
      return closeInPause;
    };
    system.now = [this] { return now_.load(); };
    system.jitter = [] { return 1.0; };
    system.open = OpenInstallerExclusively;
    return system;
  }

  // And whose transfers give the answers in turn, the last one again once
  // they run out.
  // honoursAbort: a callback's refusal of the data ends the transfer; URL
  // monikers that have all the data already may report success all the same.
  DownloadSystem Answering(std::vector<Answer> answers, bool closeInPause = false, bool honoursAbort = true) {
    DownloadSystem system = Pausing(closeInPause);
    system.transfer = [this, answers, honoursAbort](const std::wstring&, const std::wstring& path,
                                                    IBindStatusCallback* callback) {
      const Answer& answer = answers[std::min(transfers_.size(), answers.size() - 1)];
      transfers_.push_back(path);
      now_ += kTransferMs;
      WriteStart(path, answer.written);
      const HRESULT reported = Report(callback, answer.status, answer.written, answer.result == S_OK);
      return reported == S_OK || !honoursAbort ? answer.result : reported;
    };
    return system;
  }

  Result<DownloadedInstaller> Download(const DownloadSystem& system, CallbackHandler& callback,
                                       const std::wstring& url = L"http://dl.example/qmx.exe?rn=1",
                                       std::optional<uint64_t> size = std::nullopt) {
    return DownloadInstallerWith(url, size, *folder_, user_, window_, callback, system,
                                 [](DownloadAbort, const std::wstring&) { FAIL() << "no transfer got stuck"; });
  }

  // A callback on the test's clock.
  CallbackHandler::TickClock Clock() {
    return [this] { return now_.load(); };
  }

  bool LeftInFolder(const std::wstring& path) const {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  void ExpectWhole(Result<DownloadedInstaller>& installer) {
    ASSERT_TRUE(installer) << installer.error().systemError;
    EXPECT_EQ(installer->path, transfers_[0]);
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(installer->file.get(), &size));
    EXPECT_EQ(static_cast<size_t>(size.QuadPart), kInstaller.size());
    installer->file.reset();
    ASSERT_TRUE(folder_->DeleteFile(FileNameOf(installer->path)));
  }

  std::wstring parent_;
  std::optional<RunFolder> folder_;
  ProgressWindow window_{ProgressWindow::kHidden};
  SignedInUser user_;
  std::vector<std::wstring> transfers_;
  std::vector<DWORD> pauses_;
  std::atomic<ULONGLONG> now_{1000000};
};

}  // namespace

TEST_F(InstallerDownloadTest, BreaksAreTriedAgainUntilAMinutePassesWithoutProgress) {
  const Answer whole{200, kInstaller.size(), S_OK}, dropped{200, 0, kDropped};
  const auto cut = [](size_t at) { return Answer{200, at, S_OK}; };
  struct Case {
    const char* name;
    std::vector<Answer> answers;
    size_t transfers;
    std::optional<uint32_t> error;  // the HRESULT of error 4, none for a success
  };
  const Case cases[] = {
      {"dropped and cut, then whole", {dropped, cut(1000), whole}, 3, std::nullopt},
      {"a server error, then whole", {{503, kInstaller.size(), S_OK}, whole}, 2, std::nullopt},
      // Over 90 s of pauses, but each attempt gets further than the last.
      {"cut ever further, then whole",
       {cut(500), cut(1000), cut(1500), cut(2000), cut(2500), cut(2600), cut(2700), cut(2800), cut(2900), whole},
       10,
       std::nullopt},
      {"missing", {{404, 9, S_OK}}, 1, static_cast<uint32_t>(E_FAIL)},
      {"always dropped", {dropped}, 8, static_cast<uint32_t>(kDropped)},
      {"always cut at the same byte", {cut(1000)}, 8, static_cast<uint32_t>(E_FAIL)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfers_.clear();
    pauses_.clear();
    LogCapture log;
    CallbackHandler callback(nullptr, Clock());
    const ULONGLONG started = now_;
    auto installer = Download(Answering(c.answers), callback);
    ASSERT_EQ(transfers_.size(), c.transfers);
    for (const std::wstring& path : transfers_) EXPECT_EQ(path, transfers_[0]);
    for (size_t i = 1; i + 1 < pauses_.size(); ++i) EXPECT_GE(pauses_[i], pauses_[i - 1]) << "the pauses grow";
    if (!c.error) {
      ExpectWhole(installer);
    } else {
      ASSERT_FALSE(installer);
      EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
      EXPECT_EQ(installer.error().systemError, *c.error);
      EXPECT_FALSE(LeftInFolder(transfers_[0])) << "a broken download is never left to be checked";
      EXPECT_EQ(log.Records().back().rfind("ERROR Can't download wrapper to ", 0), 0u) << log.Records().back();
      if (c.transfers > 1) {
        // A minute without progress from the start, or from the first attempt's data.
        EXPECT_GE(now_ - started, kNoProgressLimitMs);
        EXPECT_LE(now_ - started, kNoProgressLimitMs + 2 * kTransferMs);
      }
    }
    static_cast<void>(folder_->DeleteFile(PlaceholderNameOf(transfers_[0])));
  }
}

TEST_F(InstallerDownloadTest, ATransferPastItsLengthIsStoppedAndMakesNoProgress) {
  struct Case {
    const char* name;
    size_t sent;                   // of the 4096 bytes the answer announces
    std::optional<uint64_t> size;  // the document's
    bool honoursAbort;
    std::string warning;
  };
  const Case cases[] = {
      {"past the answer's length", kInstaller.size() + 1, std::nullopt, true, "sent more than the 4096 bytes"},
      {"past the size, reported whole", kInstaller.size(), 4000, false, "sent more than the 4000 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfers_.clear();
    LogCapture log;
    CallbackHandler callback(nullptr, Clock());
    auto installer = Download(Answering({{200, c.sent, S_OK}}, false, c.honoursAbort), callback,
                              L"http://dl.example/qmx.exe?rn=1", c.size);
    ASSERT_FALSE(installer);
    EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
    EXPECT_GT(transfers_.size(), 2u) << "stopped like a stall, and tried again";
    const auto records = log.Records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const std::string& record) {
      return record.find(c.warning) != std::string::npos;
    })) << c.warning;
    static_cast<void>(folder_->DeleteFile(PlaceholderNameOf(transfers_[0])));
  }
}

TEST_F(InstallerDownloadTest, AFileThatAScannerHoldsIsWaitedForABoundedTime) {
  struct Case {
    const char* name;
    int refusals;  // of the open, before it succeeds
    DWORD error;
    std::optional<ErrorCode> code;  // of the download's error; none for a success
  };
  const Case cases[] = {
      {"held a while", 3, ERROR_SHARING_VIOLATION, std::nullopt},
      {"held for good", 1000000, ERROR_SHARING_VIOLATION, ErrorCode::kInstallerUnreadable},
      {"refused", 1000000, ERROR_ACCESS_DENIED, ErrorCode::kInstallerUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfers_.clear();
    pauses_.clear();
    DownloadSystem system = Answering({{200, kInstaller.size(), S_OK}});
    int opens = 0;
    system.open = [&](const std::wstring& path) -> Result<UniqueFile> {
      if (++opens <= c.refusals) return Failure(c.error);
      return OpenInstallerExclusively(path);
    };
    CallbackHandler callback(nullptr, Clock());
    const ULONGLONG started = now_;
    auto installer = Download(system, callback);
    EXPECT_EQ(transfers_.size(), 1u) << "a held file is not downloaded again";
    if (!c.code) {
      EXPECT_EQ(pauses_.size(), 3u);
      ExpectWhole(installer);
    } else {
      ASSERT_FALSE(installer);
      EXPECT_EQ(installer.error().code, *c.code);
      EXPECT_EQ(installer.error().systemError, c.error);
      if (c.error == ERROR_SHARING_VIOLATION) {
        EXPECT_GE(now_ - started, 60000u);
        EXPECT_LE(now_ - started, 61000u);
      } else {
        EXPECT_TRUE(pauses_.empty());
      }
    }
    static_cast<void>(folder_->DeleteFile(FileNameOf(transfers_[0])));
    static_cast<void>(folder_->DeleteFile(PlaceholderNameOf(transfers_[0])));
  }
}

TEST_F(InstallerDownloadTest, AClosedWindowEndsTheDownloadDuringAPauseAndDuringATransfer) {
  {
    CallbackHandler callback;
    auto installer = Download(Answering({{200, 0, kDropped}}, true), callback);
    ASSERT_FALSE(installer);
    EXPECT_EQ(installer.error().code, ErrorCode::kClosedByUser);
    EXPECT_EQ(transfers_.size(), 1u) << "no attempt after the close";
    EXPECT_EQ(pauses_.size(), 1u);
    EXPECT_FALSE(LeftInFolder(transfers_[0]));
    EXPECT_FALSE(LeftInFolder(folder_->path() + PlaceholderNameOf(transfers_[0])));
  }
  // The close comes while the transfer runs: the watchdog aborts it.
  FakeBinding binding;
  UniqueEvent aborted(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  binding.abortSeen = aborted.get();
  pauses_.clear();
  DownloadSystem system = Pausing(false);
  system.transfer = [&](const std::wstring&, const std::wstring& path, IBindStatusCallback* callback) {
    transfers_.push_back(path);
    callback->OnStartBinding(0, &binding);
    SetEvent(window_.ClosedByUserEvent());
    const DWORD woken = WaitForSingleObject(aborted.get(), 10000);
    callback->OnStopBinding(E_ABORT, nullptr);
    return woken == WAIT_OBJECT_0 ? E_ABORT : E_FAIL;
  };
  CallbackHandler callback;
  auto installer = Download(system, callback);
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kClosedByUser);
  EXPECT_EQ(binding.aborts, 1);
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(InstallerDownloadTest, ARedirectAwayFromHttpsEndsTheDownloadAtOnce) {
  DownloadSystem system = Pausing(false);
  system.transfer = [&](const std::wstring&, const std::wstring& path, IBindStatusCallback* callback) {
    transfers_.push_back(path);
    // As URL monikers do when the callback refuses the redirect.
    return callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://dl.example/qmx.exe") == E_ABORT ? E_ABORT : S_OK;
  };
  CallbackHandler callback;
  auto installer = Download(system, callback, L"https://dl.example/qmx.exe?rn=1");
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
  EXPECT_EQ(transfers_.size(), 1u);
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(InstallerDownloadTest, ATransferThatIgnoresItsAbortEndsTheRunFromTheWatchdog) {
  // A clock that runs 100 times faster: the stall limit and the grace time
  // pass within the watchdog's first checks.
  CallbackHandler callback(nullptr, [] { return GetTickCount64() * 100; });
  FakeBinding binding;  // its Abort changes nothing
  UniqueEvent stuck(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DownloadAbort reason = DownloadAbort::kNone;
  std::wstring stuckPath;
  DownloadSystem system = Pausing(true);
  system.transfer = [&](const std::wstring&, const std::wstring& path, IBindStatusCallback* status) {
    transfers_.push_back(path);
    status->OnStartBinding(0, &binding);
    const DWORD woken = WaitForSingleObject(stuck.get(), 20000);
    status->OnStopBinding(E_ABORT, nullptr);
    return woken == WAIT_OBJECT_0 ? E_ABORT : E_FAIL;
  };
  LogCapture log;
  auto installer = DownloadInstallerWith(L"http://dl.example/qmx.exe?rn=1", std::nullopt, *folder_, user_, window_,
                                         callback, system, [&](DownloadAbort why, const std::wstring& path) {
                                           reason = why;
                                           stuckPath = path;
                                           SetEvent(stuck.get());  // the stub ends its process here
                                         });
  ASSERT_EQ(transfers_.size(), 1u);
  EXPECT_EQ(reason, DownloadAbort::kStalled);
  EXPECT_EQ(stuckPath, transfers_[0]);
  EXPECT_GE(binding.aborts, 1);
}

TEST(AppendCacheBuster, UsesQuestionMarkOnlyWhenTheUrlHasNone) {
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe", 0), L"https://dl.example/qmx.exe?rn=0");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe?a=1", 32767), L"https://dl.example/qmx.exe?a=1&rn=32767");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/get?", 42), L"https://dl.example/get?&rn=42");
}
