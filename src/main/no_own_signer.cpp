// A stub the build does not sign names no signer of its own.
#include "main/installer_trust.h"

std::wstring BuiltInOwnSigner() { return std::wstring(); }
