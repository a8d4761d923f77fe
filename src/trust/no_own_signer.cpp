// A stub the build does not sign names no signer of its own.
#include "trust/own_signer.h"

std::wstring BuiltInOwnSigner() { return std::wstring(); }

std::wstring BuiltInOwnIssuerKey() { return std::wstring(); }
