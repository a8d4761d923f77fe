// The download's roads that no test server reaches, driven through its
// system seams: the attempts and their pauses, a close during a transfer and
// during a pause, a refused redirect, and a transfer that ignores its abort.
#include "progress/installer_download.h"

#include <gtest/gtest.h>

#include <vector>

#include "files/paths.h"
#include "support/fake_binding.h"
#include "support/log_capture.h"

namespace {

constexpr HRESULT kDropped = static_cast<HRESULT>(0x800C0008);  // INET_E_DOWNLOAD_FAILURE
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

  // A system whose pauses return at once, or end as closed by the user.
  DownloadSystem Pausing(bool closeInPause) {
    DownloadSystem system;
    system.wait = [this, closeInPause](HANDLE, DWORD ms) {
      pauses_.push_back(ms);
      return closeInPause;
    };
    return system;
  }

  // And whose transfers give the answers in turn, the last one again once
  // they run out.
  DownloadSystem Answering(std::vector<Answer> answers, bool closeInPause = false) {
    DownloadSystem system = Pausing(closeInPause);
    system.transfer = [this, answers](const std::wstring&, const std::wstring& path, IBindStatusCallback* callback) {
      const Answer& answer = answers[std::min(transfers_.size(), answers.size() - 1)];
      transfers_.push_back(path);
      IHttpNegotiate* negotiate = nullptr;
      callback->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&negotiate));
      const std::wstring headers = L"HTTP/1.1 " + std::to_wstring(answer.status) + L" X\r\nContent-Length: " +
                                   std::to_wstring(kInstaller.size()) + L"\r\n";
      negotiate->OnResponse(answer.status, headers.c_str(), nullptr, nullptr);
      WriteStart(path, answer.written);
      return answer.result;
    };
    return system;
  }

  Result<DownloadedInstaller> Download(const DownloadSystem& system, CallbackHandler& callback,
                                       const std::wstring& url = L"http://dl.example/qmx.exe?rn=1") {
    return DownloadInstaller(url, window_, callback, *folder_, user_, system,
                             [](DownloadAbort, const std::wstring&) { FAIL() << "no transfer got stuck"; });
  }

  bool LeftInFolder(const std::wstring& path) const {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::wstring parent_;
  std::optional<RunFolder> folder_;
  ProgressWindow window_{ProgressWindow::kHidden};
  SignedInUser user_;
  std::vector<std::wstring> transfers_;
  std::vector<DWORD> pauses_;
};

}  // namespace

TEST_F(InstallerDownloadTest, EachAttemptGoesToTheSameNameAndOnlyBreaksAreTriedAgain) {
  const Answer whole{200, kInstaller.size(), S_OK}, cut{200, 1000, S_OK}, dropped{200, 0, kDropped};
  struct Case {
    const char* name;
    std::vector<Answer> answers;
    size_t transfers;
    std::optional<uint32_t> error;  // the HRESULT of error 4, none for a success
  };
  const Case cases[] = {
      {"dropped and cut, then whole", {dropped, cut, whole}, 3, std::nullopt},
      {"always dropped", {dropped}, 3, static_cast<uint32_t>(kDropped)},
      {"always cut", {cut}, 3, static_cast<uint32_t>(E_FAIL)},
      {"a server error, then whole", {{503, kInstaller.size(), S_OK}, whole}, 2, std::nullopt},
      {"missing", {{404, 9, S_OK}}, 1, static_cast<uint32_t>(E_FAIL)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfers_.clear();
    pauses_.clear();
    LogCapture log;
    CallbackHandler callback;
    auto installer = Download(Answering(c.answers), callback);
    ASSERT_EQ(transfers_.size(), c.transfers);
    for (const std::wstring& path : transfers_) EXPECT_EQ(path, transfers_[0]);
    const DWORD pauses[] = {2000, 5000};
    EXPECT_EQ(pauses_, std::vector<DWORD>(pauses, pauses + c.transfers - 1));
    if (!c.error) {
      ASSERT_TRUE(installer) << installer.error().systemError;
      EXPECT_EQ(installer->path, transfers_[0]);
      LARGE_INTEGER size = {};
      ASSERT_TRUE(GetFileSizeEx(installer->file.get(), &size));
      EXPECT_EQ(static_cast<size_t>(size.QuadPart), kInstaller.size());
      installer->file.reset();
      ASSERT_TRUE(folder_->DeleteFile(FileNameOf(installer->path)));
    } else {
      ASSERT_FALSE(installer);
      EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
      EXPECT_EQ(installer.error().systemError, *c.error);
      EXPECT_FALSE(LeftInFolder(transfers_[0])) << "a broken download is never left to be checked";
      EXPECT_EQ(log.Records().back().rfind("ERROR Can't download wrapper to ", 0), 0u) << log.Records().back();
    }
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
  auto installer = DownloadInstaller(L"http://dl.example/qmx.exe?rn=1", window_, callback, *folder_, user_, system,
                                     [&](DownloadAbort why, const std::wstring& path) {
                                       reason = why;
                                       stuckPath = path;
                                       SetEvent(stuck.get());  // the stub ends its process here
                                     });
  ASSERT_EQ(transfers_.size(), 1u);
  EXPECT_EQ(reason, DownloadAbort::kStalled);
  EXPECT_EQ(stuckPath, transfers_[0]);
  EXPECT_GE(binding.aborts, 1);
}
