// The one way a step of the stub says that it failed: a result that carries
// either the step's value or an Error. The error holds the stub's numbered
// error code, the system's error number taken right after the failing call,
// and, where a library explains itself (the configuration document), its text.
// Needs no Windows header, so the portable pieces use it too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

// What a run's failure means to the user: each one but kNone and
// kClosedByUser shows a "We apologize!" box and becomes the stub's exit
// status. Helpers report what happened (kNone, with the system's error and a
// reason of their own); the step of the run that meets the failure decides
// what the user is told.
enum class ErrorCode : uint32_t {
  kNone = 0,  // no step has judged it: a helper's failure, or one that ends no run
  kConfigUnavailable = 1,
  kConfigInvalid = 3,
  kInstallerUnavailable = 4,
  kInstallerUnreadable = 5,
  kInstallerRejected = 6,  // not the file the publisher published: digest, signature or identity
  kNoCompletionEvent = 7,
  kNoMailslot = 8,
  kInstallerNotStarted = 9,
  // Windows can't restrict where the stub's DLLs are loaded from (Windows 7
  // without KB2533623), or a system DLL or function is missing.
  kUnsafeDllSearch = 11,
  // 12 is taken: the exit status of an unattended run that found another stub
  // running (main/instance_guard.h), which shows no box.
  // No fault: the user closed the progress window, which ends the run at once
  // with exit status 0 and no box.
  kClosedByUser = 0x100,
};

// Reading a result's value when it holds an error, or its error when it holds
// a value, is a fault of the caller: debug builds and the tests' builds end
// the program there, release builds leave the check out.
#if !defined(NDEBUG) || defined(STUB_CHECKED_RESULTS)
#define STUB_CHECK_RESULT(holds) ((holds) ? static_cast<void>(0) : std::abort())
#else
#define STUB_CHECK_RESULT(holds) static_cast<void>(0)
#endif

struct Error {
  ErrorCode code = ErrorCode::kNone;
  uint32_t systemError = 0;  // GetLastError, an HRESULT or an NTSTATUS; 0 when none
  std::string text;          // a library's description of the failure
  // The string of a line under the box's text that says what the user can
  // do about it (an id of the string table); 0 for none.
  uint32_t hint = 0;
};

inline Error MakeError(ErrorCode code, uint32_t systemError = 0, std::string text = std::string()) {
  return Error{code, systemError, std::move(text)};
}

// A helper's failure: what happened, for the step to judge.
inline Error Failure(uint32_t systemError, std::string text = std::string()) {
  return Error{ErrorCode::kNone, systemError, std::move(text)};
}

// The step's judgement of a failure it met: what the user is told.
inline Error WithCode(ErrorCode code, Error error) {
  error.code = code;
  return error;
}

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}      // NOLINT: a value converts implicitly
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: so does an error

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  T& operator*() & { return (STUB_CHECK_RESULT(ok()), *value_); }
  const T& operator*() const& { return (STUB_CHECK_RESULT(ok()), *value_); }
  T&& operator*() && { return (STUB_CHECK_RESULT(ok()), std::move(*value_)); }
  T* operator->() { return (STUB_CHECK_RESULT(ok()), &*value_); }
  const T* operator->() const { return (STUB_CHECK_RESULT(ok()), &*value_); }

  const Error& error() const { return (STUB_CHECK_RESULT(!ok()), *error_); }

 private:
  std::optional<T> value_;
  std::optional<Error> error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: an error converts implicitly

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  const Error& error() const { return (STUB_CHECK_RESULT(!ok()), *error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;
