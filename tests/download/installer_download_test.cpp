// The download's roads that no test server reaches, driven through its
// system seams and a clock of the test's own: the attempts, their pauses and
// their budget, resumed transfers, a close during a transfer and during a
// pause, a refused redirect, an overrun, a scanner holding the file, a file
// changed before it is held, and a binding that ignores its abort.
#include "download/installer_download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "files/crc32.h"
#include "files/paths.h"
#include "support/fake_binding.h"
#include "support/log_capture.h"
#include "trust/installer_file.h"

namespace {

constexpr HRESULT kDropped = static_cast<HRESULT>(0x800C0008);  // INET_E_DOWNLOAD_FAILURE

std::string MakeInstaller() {
  std::string bytes(4096, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}
const std::string kInstaller = MakeInstaller();

// What one fake transfer does: answer with a status, hand over so many bytes
// of the installer and stop with a result. A 206 is the part from where the
// request asked, or from partFrom where given.
struct Answer {
  DWORD status;
  size_t written;
  HRESULT result;
  std::optional<size_t> partFrom = std::nullopt;
};

// Answers as a server would through the callback: the headers (with an
// ETag), then the data, then the stop. Returns the Range the request asked
// for ("" for none). honoursAbort: a callback's refusal of the data ends the
// transfer; URL monikers that have all the data already may report success.
std::wstring Serve(IBindStatusCallback* callback, const Answer& answer, bool honoursAbort) {
  IHttpNegotiate* negotiate = nullptr;
  callback->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&negotiate));
  LPWSTR added = nullptr;
  negotiate->BeginningTransaction(L"http://dl.example/qmx.exe", L"", 0, &added);
  std::wstring range;
  size_t asked = 0;
  if (added != nullptr) {
    range = added;
    CoTaskMemFree(added);
    range = range.substr(7, range.find(L"\r\n") - 7);  // after "Range: "
    asked = std::stoul(range.substr(6));               // after "bytes="
  }
  const size_t total = kInstaller.size();
  std::wstring headers = L"HTTP/1.1 " + std::to_wstring(answer.status) + L" X\r\nETag: \"v1\"\r\n";
  size_t from = 0;
  if (answer.status == 206) {
    from = answer.partFrom.value_or(asked);
    headers += L"Content-Range: bytes " + std::to_wstring(from) + L"-" + std::to_wstring(total - 1) + L"/" +
               std::to_wstring(total) + L"\r\n";
  }
  headers += L"Content-Length: " + std::to_wstring(total - from) + L"\r\n";
  negotiate->OnResponse(answer.status, headers.c_str(), nullptr, nullptr);
  HRESULT reported = S_OK;
  if (answer.written > 0)
    reported = DeliverData(
        callback, kInstaller.substr(from, answer.written) + std::string(from + answer.written > total ? 1 : 0, 'x'));
  callback->OnStopBinding(reported == S_OK || !honoursAbort ? answer.result : reported, nullptr);
  return range;
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

  // A system on the test's clock whose waits pass at once (the clock moves
  // on by them); the pauses (waits on the window's close alone) end as closed
  // by the user where asked.
  DownloadSystem Pausing(bool closeInPause) {
    DownloadSystem system;
    system.wait = [this, closeInPause](DWORD count, const HANDLE* handles, DWORD ms) -> DWORD {
      now_ += ms;
      if (count != 1 || handles[0] != window_.ClosedByUserEvent()) return WAIT_TIMEOUT;
      pauses_.push_back(ms);
      return closeInPause ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    };
    system.now = [this] { return now_.load(); };
    system.jitter = [] { return 1.0; };
    system.open = OpenInstallerExclusively;
    return system;
  }

  // And whose transfers give the answers in turn, the last one again once
  // they run out.
  DownloadSystem Answering(std::vector<Answer> answers, bool closeInPause = false, bool honoursAbort = true) {
    DownloadSystem system = Pausing(closeInPause);
    system.begin = [this, answers, honoursAbort](const std::wstring&, IBindStatusCallback* callback) {
      const Answer& answer = answers[std::min(ranges_.size(), answers.size() - 1)];
      now_ += 100;  // what each fake transfer takes
      ranges_.push_back(Serve(callback, answer, honoursAbort));
      return S_OK;
    };
    return system;
  }

  Result<DownloadedInstaller> Download(const DownloadSystem& system, CallbackHandler& callback,
                                       const std::wstring& url = L"http://dl.example/qmx.exe?rn=1",
                                       std::optional<uint64_t> size = std::nullopt) {
    return DownloadInstallerWith(url, {size, true}, *folder_, window_, callback, system);
  }

  // A callback on the test's clock.
  CallbackHandler::TickClock Clock() {
    return [this] { return now_.load(); };
  }

  // The downloads the folder holds (not the placeholders).
  std::vector<std::wstring> Downloads() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW((folder_->path() + L"*.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.emplace_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

  // The held file is the whole installer, and the digests taken as it
  // arrived are the file's own.
  void ExpectWhole(Result<DownloadedInstaller>& installer) {
    ASSERT_TRUE(installer) << installer.error().systemError;
    const auto read = DigestInstaller(installer->file.get(), true);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->crc32, UpdateCrc32(0, kInstaller.data(), kInstaller.size()));
    EXPECT_EQ(installer->digest.crc32, read->crc32);
    EXPECT_EQ(installer->digest.sha256, read->sha256);
    installer->file.reset();
    ASSERT_TRUE(folder_->DeleteFile(FileNameOf(installer->path)));
    static_cast<void>(folder_->DeleteFile(PlaceholderNameOf(installer->path)));
  }

  // Removes what a run left: its placeholder, and a download left for support.
  void RemovePlaceholders() {
    WIN32_FIND_DATAW found = {};
    const HANDLE search = FindFirstFileW((folder_->path() + L"qmx*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do static_cast<void>(folder_->DeleteFile(found.cFileName));
    while (FindNextFileW(search, &found));
    FindClose(search);
  }

  std::wstring parent_;
  std::optional<RunFolder> folder_;
  ProgressWindow window_{ProgressWindow::kHidden};
  std::vector<std::wstring> ranges_;  // what each transfer asked for
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
    ranges_.clear();
    pauses_.clear();
    LogCapture log;
    CallbackHandler callback(nullptr, Clock());
    const ULONGLONG started = now_;
    auto installer = Download(Answering(c.answers), callback);
    ASSERT_EQ(ranges_.size(), c.transfers);
    for (size_t i = 1; i + 1 < pauses_.size(); ++i) EXPECT_GE(pauses_[i], pauses_[i - 1]) << "the pauses grow";
    if (!c.error) {
      ExpectWhole(installer);
    } else {
      ASSERT_FALSE(installer);
      EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
      EXPECT_EQ(installer.error().systemError, *c.error);
      EXPECT_TRUE(Downloads().empty()) << "a broken download is never left to be checked";
      EXPECT_EQ(log.Records().back().rfind("ERROR Can't download wrapper to ", 0), 0u) << log.Records().back();
      if (c.transfers > 1) {
        // A minute without progress from the start, or from the first attempt's data.
        EXPECT_GE(now_ - started, kNoProgressLimitMs);
        EXPECT_LE(now_ - started, kNoProgressLimitMs + 200);
      }
    }
    RemovePlaceholders();
  }
}

TEST_F(InstallerDownloadTest, ACutTransferAsksForTheRestAndItsDigestsRunOverTheWholeFile) {
  const Answer cut{200, 1000, S_OK};
  struct Case {
    const char* name;
    std::vector<Answer> answers;
    std::vector<std::wstring> ranges;  // what each transfer asked for
  };
  const Case cases[] = {
      {"the rest, cut again, then the rest",
       {cut, {206, 1500, S_OK}, {206, kInstaller.size() - 2500, S_OK}},
       {L"", L"bytes=1000-", L"bytes=2500-"}},
      {"a server that ignores the range", {cut, {200, kInstaller.size(), S_OK}}, {L"", L"bytes=1000-"}},
      {"a part of something else, then all of it",
       {cut, {206, 500, S_OK, 0}, {200, kInstaller.size(), S_OK}},
       {L"", L"bytes=1000-", L""}},
      {"a range the server can't serve, then all of it",
       {cut, {416, 0, S_OK}, {200, kInstaller.size(), S_OK}},
       {L"", L"bytes=1000-", L""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ranges_.clear();
    LogCapture log;
    CallbackHandler callback(nullptr, Clock());
    auto installer = Download(Answering(c.answers), callback);
    EXPECT_EQ(ranges_, c.ranges);
    ExpectWhole(installer);
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
    ranges_.clear();
    LogCapture log;
    CallbackHandler callback(nullptr, Clock());
    auto installer = Download(Answering({{200, c.sent, S_OK}}, false, c.honoursAbort), callback,
                              L"http://dl.example/qmx.exe?rn=1", c.size);
    ASSERT_FALSE(installer);
    EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
    EXPECT_GT(ranges_.size(), 2u) << "stopped like a stall, and tried again";
    const auto records = log.Records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const std::string& record) {
      return record.find(c.warning) != std::string::npos;
    })) << c.warning;
    RemovePlaceholders();
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
    ranges_.clear();
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
    EXPECT_EQ(ranges_.size(), 1u) << "a held file is not downloaded again";
    if (!c.code) {
      EXPECT_EQ(pauses_.size(), 3u);
      ExpectWhole(installer);
    } else {
      ASSERT_FALSE(installer);
      EXPECT_EQ(installer.error().code, *c.code);
      EXPECT_EQ(installer.error().systemError, c.error);
      EXPECT_EQ(Downloads().size(), 1u) << "left for support to look at";
      if (c.error == ERROR_SHARING_VIOLATION) {
        EXPECT_GE(now_ - started, 60000u);
        EXPECT_LE(now_ - started, 61000u);
      } else {
        EXPECT_TRUE(pauses_.empty());
      }
    }
    RemovePlaceholders();
  }
}

// Another program writes into the file in the moment between the download's
// close of it and the hold.
TEST_F(InstallerDownloadTest, AFileChangedBeforeItIsHeldIsRejected) {
  DownloadSystem system = Answering({{200, kInstaller.size(), S_OK}});
  system.open = [](const std::wstring& path) -> Result<UniqueFile> {
    UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const char swapped[] = "MZ swapped";
    DWORD written = 0;
    EXPECT_TRUE(writer && WriteFile(writer.get(), swapped, sizeof(swapped), &written, nullptr));
    writer.reset();
    return OpenInstallerExclusively(path);
  };
  LogCapture log;
  CallbackHandler callback(nullptr, Clock());
  auto installer = Download(system, callback);
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kInstallerRejected);
  EXPECT_NE(log.Records().back().find("was changed between its download and its check"), std::string::npos)
      << log.Records().back();
  RemovePlaceholders();
}

TEST_F(InstallerDownloadTest, AClosedWindowEndsTheDownloadDuringAPauseAndDuringATransfer) {
  {
    CallbackHandler callback;
    auto installer = Download(Answering({{200, 0, kDropped}}, true), callback);
    ASSERT_FALSE(installer);
    EXPECT_EQ(installer.error().code, ErrorCode::kClosedByUser);
    EXPECT_EQ(ranges_.size(), 1u) << "no attempt after the close";
    EXPECT_EQ(pauses_.size(), 1u);
    EXPECT_TRUE(Downloads().empty());
  }
  // The close comes while the transfer runs: the main thread aborts it.
  FakeBinding binding;
  pauses_.clear();
  DownloadSystem system = Pausing(false);
  CallbackHandler callback;
  binding.stopOnAbort = &callback;
  system.begin = [&](const std::wstring&, IBindStatusCallback* status) {
    status->OnStartBinding(0, &binding);
    SetEvent(window_.ClosedByUserEvent());
    return S_OK;
  };
  auto installer = Download(system, callback);
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kClosedByUser);
  EXPECT_EQ(binding.aborts, 1);
  EXPECT_TRUE(pauses_.empty());
  EXPECT_TRUE(Downloads().empty());

  // The close came before the binding started, which only the thread's
  // messages bring: it is aborted once it has.
  FakeBinding late;
  CallbackHandler waiting;
  late.stopOnAbort = &waiting;
  system.begin = [](const std::wstring&, IBindStatusCallback*) { return S_OK; };
  const auto wait = system.wait;
  system.wait = [&](DWORD count, const HANDLE* handles, DWORD ms) {
    if (late.references == 1) waiting.OnStartBinding(0, &late);
    return wait(count, handles, ms);
  };
  installer = Download(system, waiting);
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kClosedByUser);
  EXPECT_EQ(late.aborts, 1);
}

TEST_F(InstallerDownloadTest, ARedirectAwayFromHttpsEndsTheDownloadAtOnce) {
  DownloadSystem system = Pausing(false);
  int transfers = 0;
  system.begin = [&](const std::wstring&, IBindStatusCallback* callback) {
    ++transfers;
    // As URL monikers do when the callback refuses the redirect.
    callback->OnStopBinding(callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://dl.example/qmx.exe"), nullptr);
    return S_OK;
  };
  CallbackHandler callback;
  auto installer = Download(system, callback, L"https://dl.example/qmx.exe?rn=1");
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
  EXPECT_EQ(transfers, 1);
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(InstallerDownloadTest, ABindingThatIgnoresItsAbortIsLeftAndTheRunEndsOnTheMainThread) {
  CallbackHandler callback(nullptr, Clock());
  FakeBinding binding;  // its Abort changes nothing
  DownloadSystem system = Pausing(false);
  system.begin = [&](const std::wstring&, IBindStatusCallback* status) {
    status->OnStartBinding(0, &binding);
    return S_OK;
  };
  LogCapture log;
  const ULONGLONG started = now_;
  auto installer = Download(system, callback);
  ASSERT_FALSE(installer);
  EXPECT_EQ(installer.error().code, ErrorCode::kInstallerUnavailable);
  EXPECT_EQ(installer.error().systemError, static_cast<uint32_t>(E_ABORT));
  EXPECT_EQ(binding.aborts, 1);
  EXPECT_TRUE(callback.Detached()) << "whatever the binding still reports goes nowhere";
  EXPECT_EQ(callback.OnProgress(1, 2, BINDSTATUS_DOWNLOADINGDATA, nullptr), E_ABORT);
  EXPECT_EQ(now_ - started, kDownloadStallMs + kAbortGraceMs);
  EXPECT_TRUE(Downloads().empty());
  EXPECT_EQ(log.Records().back().rfind("ERROR Can't download wrapper to ", 0), 0u) << log.Records().back();
  RemovePlaceholders();
}

TEST(AppendCacheBuster, UsesQuestionMarkOnlyWhenTheUrlHasNone) {
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe", 0), L"https://dl.example/qmx.exe?rn=0");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe?a=1", 32767), L"https://dl.example/qmx.exe?a=1&rn=32767");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/get?", 42), L"https://dl.example/get?&rn=42");
}
