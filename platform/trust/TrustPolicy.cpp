#include "platform/trust/TrustPolicy.h"

#include "platform/trust/SignatureCheck.h"

namespace Tessil {

const TrustedList& DefaultBuiltInList() {
    static const TrustedList list = [] {
        TrustedList l;
        l.version = 5;
        l.names = {L"Tessil Corporation", L"Corvane, Inc."};
        for (const char* hex : {"afe5d244a8d1194230ff479fe2f897bbcd7a8cb4",
                                "02faf3e291435468607857694df5e45b68851868",
                                "742c3192e607e424eb4549542be1bbc53e6174e2",
                                "4eb6d578499b1ccf5f581ead56be3d9b6744a5e5"})
            l.thumbprints.push_back(*ParseThumbprint(hex));
        return l;
    }();
    return list;
}

const Thumbprint& DefaultListSignerThumbprint() {
    static const Thumbprint thumbprint = *ParseThumbprint("416d6e0ac1502fa904095682a92236b3a8a8acc1");
    return thumbprint;
}

const TrustedList& TrustPolicy::BuiltInList() const { return DefaultBuiltInList(); }

bool TrustPolicy::CheckListFileSignature(const wchar_t* path) const {
    return CheckSingleSignerThumbprint(path, DefaultListSignerThumbprint());
}

std::shared_ptr<const TrustPolicy> DefaultTrustPolicy() {
    static const auto policy = std::make_shared<const TrustPolicy>();
    return policy;
}

}  // namespace Tessil
