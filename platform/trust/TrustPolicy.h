// The fixed trust constants: the built-in signer list and the check of the
// list file's own signature. Tests replace it with a policy of their own keys.
#pragma once

#include <memory>

#include "platform/trust/TrustedListFile.h"

namespace Tessil {

class TrustPolicy {
public:
    virtual ~TrustPolicy() = default;
    // The list in force while no newer list file is loaded.
    virtual const TrustedList& BuiltInList() const;
    // True when the list file carries a valid signature of the pinned list signer.
    virtual bool CheckListFileSignature(const wchar_t* path) const;
};

// The built-in list: version 5, the two maker names and the four roots.
const TrustedList& DefaultBuiltInList();
// SHA-1 thumbprint of the certificate that signs list files.
const Thumbprint& DefaultListSignerThumbprint();

std::shared_ptr<const TrustPolicy> DefaultTrustPolicy();

}  // namespace Tessil
