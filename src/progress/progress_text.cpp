#include "progress/progress_text.h"

#include "common/text.h"
#include "resource.h"
#include "text/placeholders.h"
#include "text/ui_text.h"

namespace {

std::wstring FormatSize(uint64_t bytes) {
  const SizeToShow size = SizeForDisplay(bytes);
  const UINT pattern = size.unit == SizeUnit::kKilobytes   ? IDS_SIZE_KB
                       : size.unit == SizeUnit::kMegabytes ? IDS_SIZE_MB
                                                           : IDS_SIZE_GB;
  return FillPlaceholders(UiText(pattern), {FormatUserNumber(size.value, 1)});
}

std::wstring FormatTime(const TimeToShow& time) {
  switch (time.unit) {
    case TimeUnit::kSeconds: return FillPlaceholders(UiText(IDS_TIME_SECONDS), {WideDecimal(time.value)});
    case TimeUnit::kMinutes: return FillPlaceholders(UiText(IDS_TIME_MINUTES), {WideDecimal(time.value)});
    case TimeUnit::kHoursAndMinutes:
      return FillPlaceholders(UiText(IDS_TIME_HOURS), {WideDecimal(time.value), WideDecimal(time.minutes)});
  }
  return std::wstring();
}

}  // namespace

std::wstring FormatProgressLine(const LineContent& content) {
  std::wstring line;
  if (content.total == 0) {
    line = FillPlaceholders(UiText(IDS_LINE_RECEIVED), {FormatSize(content.received)});
  } else if (!content.left) {
    line = FillPlaceholders(UiText(IDS_LINE_OF_TOTAL), {FormatSize(content.received), FormatSize(content.total)});
  } else {
    line = FillPlaceholders(UiText(IDS_LINE_WITH_ESTIMATE),
                            {FormatSize(content.received), FormatSize(content.total), FormatTime(*content.left)});
  }
  // A right-to-left line that starts with a number would otherwise be laid
  // out from the left: the right-to-left mark makes the whole line read from
  // the right, whatever the control does with its reading order.
  if (UiIsRightToLeft()) line.insert(0, 1, L'\u200F');
  return line;
}
