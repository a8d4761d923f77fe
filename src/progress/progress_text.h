// The line under the progress bar in the user's language and number format:
// "12.4 MB of 80.0 MB, about 20 s left", "12.4 MB of 80.0 MB" before an
// estimate, "12.4 MB received" when the server sent no length.
#pragma once

#include <string>

#include "progress/download_estimate.h"

std::wstring FormatProgressLine(const LineContent& content);
