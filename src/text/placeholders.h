// Translated texts with values in them. A translation may put the values in
// any order, so they are numbered: "%1 of %2" in English, "%2 中 %1" where the
// language wants it. Needs no Windows header.
#pragma once

#include <string>
#include <vector>

// The pattern with each "%N" (N from 1 to 9) replaced by values[N - 1] and
// "%%" by "%". A "%N" without a value, and a "%" before anything else, stay
// as they are: a faulty translation shows its fault, it never reads beyond
// the values.
std::wstring FillPlaceholders(const std::wstring& pattern, const std::vector<std::wstring>& values);
