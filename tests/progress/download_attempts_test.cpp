#include "progress/download_attempts.h"

#include <gtest/gtest.h>

#include <string>

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
      {true, {200, 100, false}, 100, TransferEnd::kComplete},
      {true, {200, std::nullopt, false}, 100, TransferEnd::kComplete},  // chunked: no length to hold it to
      {true, {0, std::nullopt, false}, 100, TransferEnd::kComplete},    // no HTTP answer seen
      {true, {200, 40, true}, 100, TransferEnd::kComplete},             // compressed: the length counts other bytes
      {true, {200, 100, false}, 50, TransferEnd::kWrongLength},
      {true, {200, 100, false}, 150, TransferEnd::kWrongLength},
      {true, {200, 0, false}, 0, TransferEnd::kFailed},
      {true, {0, std::nullopt, false}, 0, TransferEnd::kFailed},
      {false, {200, 100, false}, 100, TransferEnd::kFailed},
      {true, {503, 100, false}, 100, TransferEnd::kFailed},
      {true, {429, 100, false}, 100, TransferEnd::kFailed},
      {true, {408, 100, false}, 100, TransferEnd::kFailed},
      {true, {304, 0, false}, 0, TransferEnd::kFailed},
      {true, {404, 9, false}, 9, TransferEnd::kRefused},
      {false, {403, 9, false}, 0, TransferEnd::kRefused},
      // A file that can't be read is judged by the answer alone: its own error tells.
      {true, {200, 100, false}, std::nullopt, TransferEnd::kComplete},
      {true, {503, 100, false}, std::nullopt, TransferEnd::kFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyTransfer(c.done, c.headers, c.received), c.end)
        << c.done << " " << c.headers.status << " " << c.received.value_or(99999);
  }
}

TEST(TransferEnd, OnlyFailedAndCutTransfersAreTriedAgainTwiceAfterAGrowingPause) {
  for (TransferEnd end : {TransferEnd::kFailed, TransferEnd::kWrongLength}) {
    EXPECT_TRUE(IsTriedAgain(end, 1));
    EXPECT_TRUE(IsTriedAgain(end, 2));
    EXPECT_FALSE(IsTriedAgain(end, 3));
  }
  EXPECT_FALSE(IsTriedAgain(TransferEnd::kRefused, 1));
  EXPECT_FALSE(IsTriedAgain(TransferEnd::kComplete, 1));
  EXPECT_LT(PauseBeforeAttemptMs(2), PauseBeforeAttemptMs(3));
}
