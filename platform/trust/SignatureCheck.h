// Authenticode checks of one file against one signer list.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/trust/TrustedListFile.h"

namespace Tessil {

// True as soon as one signer of the file's embedded signature passes every
// test of the list: serial not denied, name accepted, chain valid as of the
// signer's time stamp (or now), root accepted, Authenticode policy and
// WinVerifyTrust satisfied.
bool CheckFileAgainstList(const wchar_t* path, const TrustedList& list);

// True when the file carries exactly one signer whose certificate has the
// given SHA-1 thumbprint and WinVerifyTrust accepts the file.
bool CheckSingleSignerThumbprint(const wchar_t* path, const Thumbprint& thumbprint);

// WinVerifyTrust with the generic verify action, no user interface, no
// revocation check and the given provider flags.
LONG VerifyTrustOfFile(const wchar_t* path, DWORD providerFlags, bool withStateClose);

enum class SigningTimeResult { None, Found, Error };

// Reads the signing time from a signer's counter-signature or RFC 3161 time
// stamp (its unauthenticated attributes). The time counts only when the
// stamp is made over this signer's encrypted digest and its authority's
// chain, as of that time, ends in a root the machine trusts and allows time
// stamping; otherwise None, as for a file without a stamp. Error when the
// stamp cannot be read. store: the certificates of the file's signature.
SigningTimeResult ReadSignerSigningTime(HCRYPTMSG message, HCERTSTORE store, DWORD signerIndex,
                                        FILETIME& time);

}  // namespace Tessil
