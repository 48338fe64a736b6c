#include "platform/trust/SignatureCheck.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/trust/TimeStampToken.h"
#include "platform/trust/TrustHandles.h"

namespace Tessil {
namespace {

using namespace trust_detail;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kCheckProviderFlags = 0x1214;  // cache-only URLs, hash only, no revocation, no policy usage
constexpr DWORD kChainFlags = 0x84;            // lower-quality chains, cache-only URLs
constexpr char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
constexpr char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
constexpr char kRfc3161TimeStampOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
constexpr char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
constexpr char kTstInfoContentType[] = "1.2.840.113549.1.9.16.1.4";
constexpr char kTimeStampingUsage[] = szOID_PKIX_KP_TIMESTAMP_SIGNING;

struct SignedFile {
    CertStoreHandle store;
    CryptMsgHandle message;
};

bool OpenSignedFile(const wchar_t* path, SignedFile& out) {
    DWORD encoding = 0, contentType = 0, formatType = 0;
    return CryptQueryObject(CERT_QUERY_OBJECT_FILE, path,
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType,
                            &formatType, out.store.put(), out.message.put(), nullptr) != FALSE;
}

bool GetMessageParam(HCRYPTMSG message, DWORD param, DWORD index, std::vector<BYTE>& out) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, param, index, nullptr, &size)) return false;
    out.assign(size, 0);
    if (!CryptMsgGetParam(message, param, index, out.data(), &size)) return false;
    out.resize(size);
    return !out.empty();
}

bool SignerCount(HCRYPTMSG message, DWORD& count) {
    DWORD size = sizeof(count);
    return CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) != FALSE;
}

CertHandle FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO& signer) {
    CERT_INFO wanted{};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    return CertHandle(CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT,
                                                 &wanted, nullptr));
}

bool CertificateThumbprint(PCCERT_CONTEXT cert, Thumbprint& out) {
    DWORD size = sizeof(out);
    return CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, out.data(), &size) &&
           size == out.size();
}

template <typename List>
bool ListHas(const List& list, const std::wstring& value) {
    for (const auto& entry : list)
        if (EqualsIgnoringCase(entry, value)) return true;
    return false;
}

bool NameAccepted(PCCERT_CONTEXT cert, const TrustedList& list) {
    DWORD chars = CertGetNameStringW(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (chars <= 1) return false;
    std::wstring name(chars, L'\0');
    chars = CertGetNameStringW(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name.data(), chars);
    if (chars <= 1) return false;
    name.resize(chars - 1);
    return list.names.empty() || ListHas(list.names, name);
}

bool SimpleChainRootListed(const CERT_SIMPLE_CHAIN* simple, const TrustedList& list) {
    if (!simple || simple->cElement == 0) return false;
    Thumbprint root{};
    if (!CertificateThumbprint(simple->rgpElement[simple->cElement - 1]->pCertContext, root))
        return false;
    for (const auto& accepted : list.thumbprints)
        if (accepted == root) return true;
    return false;
}

bool ChainContextRootListed(PCCERT_CHAIN_CONTEXT chain, const TrustedList& list) {
    for (DWORD i = 0; i < chain->cChain; ++i)
        if (SimpleChainRootListed(chain->rgpChain[i], list)) return true;
    return false;
}

bool RootAccepted(PCCERT_CHAIN_CONTEXT chain, const TrustedList& list) {
    if (list.thumbprints.empty()) return true;
    if (ChainContextRootListed(chain, list)) return true;
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i)
        if (ChainContextRootListed(chain->rgpLowerQualityChainContext[i], list)) return true;
    return false;
}

// The certificate's chain for one usage, as of a time (null: now); empty
// when it cannot be built.
ChainHandle BuildChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, const FILETIME* at,
                       HCERTSTORE extra, const char* usage, DWORD flags) {
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    FILETIME when{};
    if (at) when = *at;
    ChainHandle chain;
    if (!CertGetCertificateChain(engine, cert, at ? &when : nullptr, extra, &para, flags, nullptr,
                                 chain.put()))
        chain.reset();
    return chain;
}

bool SignerPasses(const wchar_t* path, const SignedFile& file, DWORD index,
                  const TrustedList& list) {
    std::vector<BYTE> buffer;
    if (!GetMessageParam(file.message.get(), CMSG_SIGNER_INFO_PARAM, index, buffer)) return false;
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());

    std::wstring serial = SerialNumberToHex(signer.SerialNumber.pbData, signer.SerialNumber.cbData);
    if (ListHas(list.serials, serial)) return false;

    CertHandle cert = FindSignerCertificate(file.store.get(), signer);
    if (!cert || !NameAccepted(cert.get(), list)) return false;

    FILETIME signingTime{};
    SigningTimeResult timeResult =
        ReadSignerSigningTime(file.message.get(), file.store.get(), index, signingTime);
    if (timeResult == SigningTimeResult::Error) return false;

    ChainHandle chain = BuildChain(nullptr, cert.get(),
                                   timeResult == SigningTimeResult::Found ? &signingTime : nullptr,
                                   file.store.get(), kCodeSigningUsage, kChainFlags);
    if (!chain || chain.get()->TrustStatus.dwErrorStatus != 0) return false;
    if (!RootAccepted(chain.get(), list)) return false;

    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof(policyStatus);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), &policyPara,
                                          &policyStatus) ||
        policyStatus.dwError != 0)
        return false;

    return VerifyTrustOfFile(path, kCheckProviderFlags, false) == 0;
}

// Signing time from the authenticated attributes of a time-stamp signer.
SigningTimeResult SigningTimeOf(const CMSG_SIGNER_INFO& stamp, FILETIME& time) {
    for (DWORD i = 0; i < stamp.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = stamp.AuthAttrs.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, kSigningTimeOid) != 0 ||
            attribute.cValue == 0 || attribute.rgValue[0].cbData != 15)
            continue;
        auto utc = ParseEncodedUtcTime(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
        if (!utc) return SigningTimeResult::Error;
        SYSTEMTIME st{};
        st.wYear = static_cast<WORD>(utc->year);
        st.wMonth = static_cast<WORD>(utc->month);
        st.wDay = static_cast<WORD>(utc->day);
        st.wHour = static_cast<WORD>(utc->hour);
        st.wMinute = static_cast<WORD>(utc->minute);
        st.wSecond = static_cast<WORD>(utc->second);
        return SystemTimeToFileTime(&st, &time) ? SigningTimeResult::Found
                                                : SigningTimeResult::Error;
    }
    return SigningTimeResult::None;
}

// --- Whether a time stamp proves its time ------------------------------------

// The hash algorithms a stamp may use: CNG name, and the RSA signature
// algorithm made with it.
struct HashAlgorithm {
    const char* oid;
    const wchar_t* cngName;
    const char* rsaSignature;
};

const HashAlgorithm* HashAlgorithmOf(const char* oid) {
    static constexpr HashAlgorithm kHashes[] = {
        {"1.3.14.3.2.26", L"SHA1", szOID_RSA_SHA1RSA},
        {"2.16.840.1.101.3.4.2.1", L"SHA256", szOID_RSA_SHA256RSA},
        {"2.16.840.1.101.3.4.2.2", L"SHA384", szOID_RSA_SHA384RSA},
        {"2.16.840.1.101.3.4.2.3", L"SHA512", szOID_RSA_SHA512RSA}};
    for (const auto& hash : kHashes)
        if (oid && std::strcmp(oid, hash.oid) == 0) return &hash;
    return nullptr;
}

bool DigestEquals(const char* hashOid, const BYTE* data, DWORD size,
                  const std::vector<BYTE>& expected) {
    const HashAlgorithm* hash = HashAlgorithmOf(hashOid);
    if (!hash) return false;
    BYTE digest[64] = {};
    DWORD digestSize = sizeof(digest);
    return CryptHashCertificate2(hash->cngName, 0, nullptr, data, size, digest, &digestSize) &&
           digestSize == expected.size() && std::memcmp(digest, expected.data(), digestSize) == 0;
}

// The stamp signer's "messageDigest" attribute is the digest of what it signed.
bool SignedAttributesCover(const CMSG_SIGNER_INFO& stamp, const BYTE* data, DWORD size) {
    for (DWORD i = 0; i < stamp.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = stamp.AuthAttrs.rgAttr[i];
        if (!attribute.pszObjId || std::strcmp(attribute.pszObjId, kMessageDigestOid) != 0 ||
            attribute.cValue != 1)
            continue;
        auto digest = ParseDerOctetString(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
        return digest && DigestEquals(stamp.HashAlgorithm.pszObjId, data, size, *digest);
    }
    return false;
}

bool CertificateNamesUsage(PCCERT_CONTEXT cert, const char* usage, bool& restricted) {
    restricted = false;
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!extension) return false;
    restricted = true;
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                           extension->Value.cbData, 0, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    if (!CryptDecodeObject(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                           extension->Value.cbData, 0, buffer.data(), &size))
        return false;
    const auto& usages = *reinterpret_cast<const CERT_ENHKEY_USAGE*>(buffer.data());
    for (DWORD i = 0; i < usages.cUsageIdentifier; ++i)
        if (usages.rgpszUsageIdentifier[i] && std::strcmp(usages.rgpszUsageIdentifier[i], usage) == 0)
            return true;
    return false;
}

// The authority's certificate names time stamping, and no certificate above
// it restricts its usages to others.
bool ChainAllowsTimeStamping(PCCERT_CHAIN_CONTEXT chain) {
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
        bool restricted = false;
        bool named = CertificateNamesUsage(simple->rgpElement[i]->pCertContext, kTimeStampingUsage,
                                           restricted);
        if (!named && (i == 0 || restricted)) return false;
    }
    return true;
}

// The authority's chain ends in a root the machine trusts, valid at the
// stamp's time and allowed for time stamping.
bool TimeStampAuthorityTrusted(PCCERT_CONTEXT authority, const FILETIME& at, HCERTSTORE extra) {
    ChainHandle chain = BuildChain(HCCE_LOCAL_MACHINE, authority, &at, extra, kTimeStampingUsage,
                                   CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL);
    return chain && chain.get()->TrustStatus.dwErrorStatus == 0 &&
           ChainAllowsTimeStamping(chain.get());
}

// An RFC 3161 token: a CMS message whose TSTInfo stamps the signer's
// encrypted digest, signed by a trusted time-stamp authority.
SigningTimeResult Rfc3161Time(const CRYPT_ATTR_BLOB& value, const CMSG_SIGNER_INFO& signer,
                              FILETIME& time) {
    CryptMsgHandle token(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!token || !CryptMsgUpdate(token.get(), value.pbData, value.cbData, TRUE))
        return SigningTimeResult::Error;
    std::vector<BYTE> stampBuffer;
    if (!GetMessageParam(token.get(), CMSG_SIGNER_INFO_PARAM, 0, stampBuffer))
        return SigningTimeResult::Error;
    const auto& stamp = *reinterpret_cast<const CMSG_SIGNER_INFO*>(stampBuffer.data());
    SigningTimeResult found = SigningTimeOf(stamp, time);
    if (found != SigningTimeResult::Found) return found;

    std::vector<BYTE> contentType, content;
    if (!GetMessageParam(token.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, contentType) ||
        !GetMessageParam(token.get(), CMSG_CONTENT_PARAM, 0, content))
        return SigningTimeResult::None;
    contentType.push_back(0);
    if (std::strcmp(reinterpret_cast<const char*>(contentType.data()), kTstInfoContentType) != 0)
        return SigningTimeResult::None;
    // The TSTInfo itself, whether or not the content is handed out still
    // wrapped in its OCTET STRING.
    if (auto unwrapped = ParseDerOctetString(content.data(), content.size()))
        content = std::move(*unwrapped);
    auto imprint = ParseTstInfoImprint(content.data(), content.size());
    if (!imprint ||
        !DigestEquals(imprint->hashAlgorithm.c_str(), signer.EncryptedHash.pbData,
                      signer.EncryptedHash.cbData, imprint->digest) ||
        !SignedAttributesCover(stamp, content.data(), static_cast<DWORD>(content.size())))
        return SigningTimeResult::None;

    CertStoreHandle tokenStore(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token.get()));
    if (!tokenStore) return SigningTimeResult::None;
    CertHandle authority = FindSignerCertificate(tokenStore.get(), stamp);
    if (!authority ||
        !CryptMsgControl(token.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, authority.get()->pCertInfo) ||
        !TimeStampAuthorityTrusted(authority.get(), time, tokenStore.get()))
        return SigningTimeResult::None;
    return SigningTimeResult::Found;
}

// The RSA signature of a counter-signature (its encoded signer information)
// over its authenticated attributes, checked with the authority's key.
bool SignatureOverAttributesValid(const CRYPT_ATTR_BLOB& value, const CMSG_SIGNER_INFO& counter,
                                  PCCERT_CONTEXT authority) {
    const HashAlgorithm* hash = HashAlgorithmOf(counter.HashAlgorithm.pszObjId);
    auto signedAttributes = SignedAttributesOfSignerInfo(value.pbData, value.cbData);
    if (!hash || !signedAttributes) return false;

    // As a signed blob: the signature is kept least significant byte first.
    std::vector<BYTE> signature(counter.EncryptedHash.pbData,
                                counter.EncryptedHash.pbData + counter.EncryptedHash.cbData);
    std::reverse(signature.begin(), signature.end());
    CERT_SIGNED_CONTENT_INFO content{};
    content.ToBeSigned.cbData = static_cast<DWORD>(signedAttributes->size());
    content.ToBeSigned.pbData = signedAttributes->data();
    content.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(hash->rsaSignature);
    content.Signature.cbData = static_cast<DWORD>(signature.size());
    content.Signature.pbData = signature.data();
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_CERT, &content, nullptr, &size)) return false;
    std::vector<BYTE> blob(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_CERT, &content, blob.data(), &size)) return false;
    CRYPT_DATA_BLOB subject{size, blob.data()};
    return CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB, &subject,
               CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(authority), 0,
               nullptr) != FALSE;
}

// An Authenticode counter-signature: a signer information over the
// signer's encrypted digest, its certificate among the file's.
SigningTimeResult CounterSignatureTime(const CRYPT_ATTR_BLOB& value, HCERTSTORE store,
                                       const CMSG_SIGNER_INFO& signer, FILETIME& time) {
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr,
                           &size))
        return SigningTimeResult::Error;
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0,
                           decoded.data(), &size))
        return SigningTimeResult::Error;
    const auto& counter = *reinterpret_cast<const CMSG_SIGNER_INFO*>(decoded.data());
    SigningTimeResult found = SigningTimeOf(counter, time);
    if (found != SigningTimeResult::Found) return found;

    CertHandle authority = FindSignerCertificate(store, counter);
    if (!SignedAttributesCover(counter, signer.EncryptedHash.pbData, signer.EncryptedHash.cbData) ||
        !authority || !SignatureOverAttributesValid(value, counter, authority.get()) ||
        !TimeStampAuthorityTrusted(authority.get(), time, store))
        return SigningTimeResult::None;
    return SigningTimeResult::Found;
}

}  // namespace

LONG VerifyTrustOfFile(const wchar_t* path, DWORD providerFlags, bool withStateClose) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = withStateClose ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;
    data.dwProvFlags = providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (withStateClose) {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    return result;
}

SigningTimeResult ReadSignerSigningTime(HCRYPTMSG message, HCERTSTORE store, DWORD signerIndex,
                                         FILETIME& time) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signerIndex, nullptr, &size)) {
        return static_cast<HRESULT>(GetLastError()) == CRYPT_E_ATTRIBUTES_MISSING
                   ? SigningTimeResult::None
                   : SigningTimeResult::Error;
    }
    // No unauthenticated attributes at all: no time stamp.
    if (size < sizeof(CRYPT_ATTRIBUTES)) return SigningTimeResult::None;
    std::vector<BYTE> buffer(size);
    if (!CryptMsgGetParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signerIndex, buffer.data(), &size))
        return SigningTimeResult::Error;
    const auto& attributes = *reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    const CRYPT_ATTRIBUTE* stamp = nullptr;
    for (DWORD i = 0; i < attributes.cAttr && !stamp; ++i) {
        const char* oid = attributes.rgAttr[i].pszObjId;
        if (oid && (std::strcmp(oid, kCounterSignatureOid) == 0 ||
                    std::strcmp(oid, kRfc3161TimeStampOid) == 0))
            stamp = &attributes.rgAttr[i];
    }
    if (!stamp) return SigningTimeResult::None;
    if (stamp->cValue == 0) return SigningTimeResult::Error;
    std::vector<BYTE> signerBuffer;
    if (!GetMessageParam(message, CMSG_SIGNER_INFO_PARAM, signerIndex, signerBuffer))
        return SigningTimeResult::Error;
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data());
    if (std::strcmp(stamp->pszObjId, kCounterSignatureOid) == 0)
        return CounterSignatureTime(stamp->rgValue[0], store, signer, time);
    return Rfc3161Time(stamp->rgValue[0], signer, time);
}

bool CheckFileAgainstList(const wchar_t* path, const TrustedList& list) {
    if (!path || !*path) return false;
    SignedFile file;
    if (!OpenSignedFile(path, file)) return false;
    DWORD count = 0;
    if (!SignerCount(file.message.get(), count)) return false;
    for (DWORD i = 0; i < count; ++i) {
        try {
            if (SignerPasses(path, file, i, list)) return true;
        } catch (const std::bad_alloc&) {
            // This signer does not count.
        }
    }
    return false;
}

bool CheckSingleSignerThumbprint(const wchar_t* path, const Thumbprint& thumbprint) {
    if (!path || !*path) return false;
    SignedFile file;
    if (!OpenSignedFile(path, file)) return false;
    DWORD count = 0;
    if (!SignerCount(file.message.get(), count) || count != 1) return false;
    std::vector<BYTE> buffer;
    if (!GetMessageParam(file.message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer)) return false;
    CertHandle cert =
        FindSignerCertificate(file.store.get(), *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data()));
    Thumbprint actual{};
    if (!cert || !CertificateThumbprint(cert.get(), actual) || actual != thumbprint) return false;
    return VerifyTrustOfFile(path, kCheckProviderFlags, false) == 0;
}

}  // namespace Tessil
