#include "download/download_attempts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TransferHeaders Headers(uint32_t status, std::optional<uint64_t> length, bool encoded) {
  TransferHeaders headers;
  headers.status = status;
  headers.contentLength = length;
  headers.encoded = encoded;
  return headers;
}

}  // namespace

TEST(TransferHeaders, ReadsStatusLengthAndEncodingOfRawHeaders) {
  struct Case {
    const wchar_t* raw;
    uint32_t status;
    std::optional<uint64_t> length;
    bool encoded;
  };
  const Case cases[] = {
      {L"HTTP/1.1 200 OK\r\nContent-Length: 808584\r\nContent-Type: application/octet-stream\r\n\r\n", 200, 808584,
       false},
      {L"HTTP/1.0 404 Not Found\ncontent-length:9\n", 404, 9, false},
      {L"HTTP/1.1 200 OK\r\nCONTENT-LENGTH:  5368709120 \r\nContent-Encoding: gzip\r\n", 200, 5368709120ULL, true},
      {L"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n", 200, std::nullopt, false},
      // Unreadable or doubtful values are unknown, never guessed.
      {L"HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n", 200, std::nullopt, false},
      {L"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n", 200, std::nullopt, false},
      {L"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 11\r\n", 200, std::nullopt, false},
      {L"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 10\r\n", 200, 10, false},
      {L"ICY 200 OK\r\nContent-Length: 10\r\n", 0, 10, false},
      {L"HTTP/1.1 2x0 OK\r\n", 0, std::nullopt, false},
      {L"", 0, std::nullopt, false},
  };
  for (const Case& c : cases) {
    const TransferHeaders headers = ParseTransferHeaders(c.raw);
    EXPECT_EQ(headers.status, c.status) << c.raw;
    EXPECT_EQ(headers.contentLength, c.length) << c.raw;
    EXPECT_EQ(headers.encoded, c.encoded) << c.raw;
  }
}

TEST(TransferEnd, TellsAWholeTransferFromACutRefusedOrFailedOne) {
  struct Case {
    bool done;
    TransferHeaders headers;
    std::optional<uint64_t> received;
    TransferEnd end;
  };
  const Case cases[] = {
      {true, Headers(200, 100, false), 100, TransferEnd::kComplete},
      {true, Headers(200, std::nullopt, false), 100, TransferEnd::kComplete},  // chunked: no length to hold it to
      {true, Headers(0, std::nullopt, false), 100, TransferEnd::kComplete},    // no HTTP answer seen
      {true, Headers(200, 40, true), 100, TransferEnd::kComplete},  // compressed: the length counts other bytes
      {true, Headers(200, 100, false), 50, TransferEnd::kWrongLength},
      {true, Headers(200, 100, false), 150, TransferEnd::kWrongLength},
      {true, Headers(200, 0, false), 0, TransferEnd::kFailed},
      {true, Headers(0, std::nullopt, false), 0, TransferEnd::kFailed},
      {false, Headers(200, 100, false), 100, TransferEnd::kFailed},
      {true, Headers(503, 100, false), 100, TransferEnd::kFailed},
      {true, Headers(429, 100, false), 100, TransferEnd::kFailed},
      {true, Headers(408, 100, false), 100, TransferEnd::kFailed},
      {true, Headers(304, 0, false), 0, TransferEnd::kFailed},
      {true, Headers(404, 9, false), 9, TransferEnd::kRefused},
      {false, Headers(403, 9, false), 0, TransferEnd::kRefused},
      // A file that can't be read is judged by the answer alone: its own error tells.
      {true, Headers(200, 100, false), std::nullopt, TransferEnd::kComplete},
      {true, Headers(503, 100, false), std::nullopt, TransferEnd::kFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyTransfer(c.done, c.headers, c.received), c.end)
        << c.done << " " << c.headers.status << " " << c.received.value_or(99999);
  }
}

TEST(DownloadBudget, OnlyFailedAndCutTransfersAreTriedAgainAfterAGrowingJitteredPause) {
  EXPECT_TRUE(IsTriedAgain(TransferEnd::kFailed));
  EXPECT_TRUE(IsTriedAgain(TransferEnd::kWrongLength));
  EXPECT_FALSE(IsTriedAgain(TransferEnd::kRefused));
  EXPECT_FALSE(IsTriedAgain(TransferEnd::kComplete));
  struct Case {
    int attempt;
    double jitter;
    uint32_t pauseMs;
  };
  const Case cases[] = {
      {2, 0.0, 500}, {2, 1.0, 1000}, {5, 1.0, 8000}, {40, 1.0, 16000}, {2, 7.0, 1000},  // jitter held in its range
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PauseBeforeAttemptMs(c.attempt, c.jitter), c.pauseMs) << c.attempt << " " << c.jitter;
  }
}

TEST(DownloadBudget, RunsOutAMinuteAfterTheStartOrTheLastProgress) {
  struct Case {
    const char* name;
    std::vector<uint64_t> progressAt;
    uint64_t now;
    uint64_t left;
  };
  const Case cases[] = {
      {"no progress yet", {}, 60999, 1},
      {"a minute without progress", {}, 61000, 0},
      {"progress renews it", {30000}, 61000, 29000},
      {"an older report never takes it back", {30000, 20000}, 89999, 1},
      {"a clock read before the start", {}, 500, 60000},
  };
  for (const Case& c : cases) {
    DownloadBudget budget(1000);
    for (uint64_t at : c.progressAt) budget.Progressed(at);
    EXPECT_EQ(budget.RemainingMs(c.now), c.left) << c.name;
  }
}

TEST(SlowTransferCheck, AMinuteUnderOneKibibyteASecondIsSlowWhateverCameBefore) {
  struct Case {
    const char* name;
    uint64_t (*bytesAt)(uint64_t second);
    std::optional<uint64_t> slowFrom;  // the first second it is slow at
  };
  const Case cases[] = {
      {"100 B/s", [](uint64_t s) { return s * 100; }, 60},
      {"1.1 KiB/s", [](uint64_t s) { return s * 1126; }, std::nullopt},
      {"fast for half a minute, then 100 B/s", [](uint64_t s) { return s < 30 ? s * 10240 : 307200 + (s - 30) * 100; },
       85},
  };
  for (const Case& c : cases) {
    SlowTransferCheck check;
    std::optional<uint64_t> slowFrom;
    for (uint64_t second = 0; second <= 200 && !slowFrom; ++second) {
      check.Sample(5000 + second * 1000, c.bytesAt(second));
      if (check.IsSlow()) slowFrom = second;
    }
    EXPECT_EQ(slowFrom, c.slowFrom) << c.name;
  }
}

TEST(TransferLimit, TheSmallerOfTheAnswersLengthAndTheDocumentsSize) {
  struct Case {
    TransferHeaders headers;
    std::optional<uint64_t> size;
    std::optional<uint64_t> limit;
  };
  const Case cases[] = {
      {Headers(200, 100, false), 90, 90},
      {Headers(200, 80, false), 90, 80},
      {Headers(200, 80, true), std::nullopt, std::nullopt},  // compressed: the length counts other bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TransferLimit(c.headers, c.size), c.limit) << c.headers.contentLength.value_or(0);
  }
}

TEST(TransferHeaders, ReadsTheRangeAndTheVersionOfThePartServed) {
  struct Case {
    const wchar_t* raw;
    std::optional<uint64_t> start, total, announced;
    std::optional<std::wstring> validator;  // what a resume's If-Range names
  };
  const Case cases[] = {
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/200\r\nContent-Length: 100\r\nETag: \"v1\"\r\n", 100, 200, 200,
       L"\"v1\""},
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 100-199/*\r\nContent-Length: 100\r\n", 100, std::nullopt, 200,
       std::nullopt},
      // A weak tag names no bytes: the date does.
      {L"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nETag: W/\"v1\"\r\nLast-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n",
       std::nullopt, std::nullopt, 9, L"Tue, 01 Dec 2026 10:00:00 GMT"},
      {L"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nContent-Encoding: gzip\r\nETag: \"v1\"\r\n", std::nullopt,
       std::nullopt, std::nullopt, std::nullopt},
      // Ranges that say nothing certain.
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 199-100/200\r\n", std::nullopt, std::nullopt, std::nullopt,
       std::nullopt},
      {L"HTTP/1.1 206 P\r\nContent-Range: items 1-2/3\r\n", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const TransferHeaders headers = ParseTransferHeaders(c.raw);
    EXPECT_EQ(headers.rangeStart, c.start) << c.raw;
    EXPECT_EQ(headers.rangeTotal, c.total) << c.raw;
    EXPECT_EQ(AnnouncedFileLength(headers), c.announced) << c.raw;
    EXPECT_EQ(RangeValidator(headers), c.validator) << c.raw;
  }
  EXPECT_EQ(RangeRequestHeaders(4096, L"\"v1\""), L"Range: bytes=4096-\r\nIf-Range: \"v1\"\r\n");
}

TEST(BodyPlace, OnlyTheAskedForRestIsAppendedAndOnlyAWholeFileStartsOver) {
  struct Case {
    const wchar_t* raw;
    uint64_t offset;  // where the request asked the rest from; 0: all of it
    BodyPlace place;
  };
  const Case cases[] = {
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 300-499/500\r\n", 300, BodyPlace::kAppend},
      {L"HTTP/1.1 200 OK\r\n", 300, BodyPlace::kWhole},
      {L"HTTP/1.1 200 OK\r\n", 0, BodyPlace::kWhole},
      {L"", 0, BodyPlace::kWhole},  // no HTTP answer: what came is all there is
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 0-499/500\r\n", 300, BodyPlace::kUnusable},
      {L"HTTP/1.1 206 P\r\n", 300, BodyPlace::kUnusable},
      {L"HTTP/1.1 206 P\r\nContent-Range: bytes 300-499/500\r\nContent-Encoding: gzip\r\n", 300, BodyPlace::kUnusable},
      {L"HTTP/1.1 416 Range Not Satisfiable\r\n", 300, BodyPlace::kUnusable},
      {L"HTTP/1.1 503 Busy\r\n", 0, BodyPlace::kUnusable},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlaceOfBody(c.offset, ParseTransferHeaders(c.raw)), c.place) << c.raw << " from " << c.offset;
  }
}
