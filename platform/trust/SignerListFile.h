// A signer list read from a "trusted.js" list file, with the lock that
// guards it and the installation of a newer list.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>

#include "platform/trust/TrustPolicy.h"
#include "platform/trust/TrustedListFile.h"

namespace Tessil {

class SignerListFile {
public:
    SignerListFile(std::wstring path, std::shared_ptr<const TrustPolicy> policy);
    SignerListFile(const SignerListFile&) = delete;
    SignerListFile& operator=(const SignerListFile&) = delete;

    // Guards everything below: shared for checks, exclusive for the rest.
    std::shared_mutex& Mutex() { return mutex_; }

    // The following need the lock held as their comment says.
    bool IsLoaded() const { return loaded_; }        // shared
    const TrustedList& List() const { return list_; }  // shared, while loaded
    const std::wstring& Path() const { return path_; }
    // Reads, checks and parses the file unless already loaded. Exclusive.
    bool Load();
    // Forgets the list. Exclusive.
    void Clear();

private:
    std::shared_mutex mutex_;
    const std::wstring path_;
    const std::shared_ptr<const TrustPolicy> policy_;
    bool loaded_ = false;          // guarded by mutex_
    TrustedList list_;             // guarded by mutex_
};

// The default list-file path: the root of the Windows drive plus
// "Program Files\Common Files\Corvane\Platform\Core\trusted.js".
std::wstring DefaultSignerListPath();

// Installs the list file at newListPath in place of current's file when it
// is validly signed and newer than both the loaded list and the file on
// disk, then reloads current. Takes current's exclusive lock itself.
bool InstallSignerListFile(const wchar_t* newListPath, SignerListFile& current,
                           const std::wstring& reloadAtom,
                           const std::shared_ptr<const TrustPolicy>& policy);

// Extracts "trusted.js" from a cabinet and installs it as above.
bool InstallSignerListFromCabinet(const wchar_t* cabinetPath, SignerListFile& current,
                                  const std::wstring& reloadAtom,
                                  const std::shared_ptr<const TrustPolicy>& policy);

}  // namespace Tessil
