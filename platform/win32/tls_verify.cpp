// The certificate check of the Windows TLS backend (see tls_verify.h). The
// session is made with manual validation, so this check is the only one:
// the chain through CertGetCertificateChain and the SSL policy, the name
// with our own RFC 6125 rules (the same as on every platform). The reasons
// use the same words as the other backend.
#include "platform/win32/tls_verify.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/tls_names.h"

namespace qel::plat {

namespace {

// A CA file larger than this is not a CA file (a full system bundle is
// about 200 KB).
constexpr int32_t kCaFileLimit = 4 * 1024 * 1024;
constexpr int32_t kReadChunk = 64 * 1024;
constexpr size_t kNameRoom = 256;
constexpr DWORD kIpv4Length = 4;
constexpr DWORD kIpv6Length = 16;
const char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
const char kPemEnd[] = "-----END CERTIFICATE-----";
// Chain states that say nothing about trust when revocation is not asked for.
// SECURITY_FLAG_IGNORE_UNKNOWN_CA (wininet.h): the root is one of ours.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kRevocationStates = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

void setReason(char* buffer, int32_t room, const char* text) {
  if (buffer != nullptr && room > 0) std::snprintf(buffer, static_cast<size_t>(room), "%s", text);
}

// The whole file in a new block (NUL added); null when it cannot be read.
char* readWholeFile(const char* path, int32_t* length) {
  int32_t handle = fileOpenRead(path);
  if (handle <= 0) return nullptr;
  auto* text = static_cast<char*>(memoryAllocate(static_cast<size_t>(kCaFileLimit) + 1));
  int32_t total = 0;
  while (text != nullptr) {
    int32_t room = kCaFileLimit - total;
    int32_t got = fileRead(handle, text + total, room < kReadChunk ? room : kReadChunk);
    if (got < 0 || (got > 0 && total + got >= kCaFileLimit)) {
      memoryFree(text);
      text = nullptr;
    } else if (got == 0) {
      break;
    } else {
      total += got;
    }
  }
  fileClose(handle);
  *length = total;
  return text;
}

// Adds every PEM certificate of text to store; returns how many.
int addPemCertificates(HCERTSTORE store, const char* text) {
  int added = 0;
  for (const char* begin = std::strstr(text, kPemBegin); begin != nullptr; begin = std::strstr(begin, kPemBegin)) {
    const char* endMarker = std::strstr(begin, kPemEnd);
    if (endMarker == nullptr) break;
    const char* end = endMarker + (sizeof kPemEnd - 1);
    DWORD pemLength = static_cast<DWORD>(end - begin);
    DWORD derLength = 0;
    if (CryptStringToBinaryA(begin, pemLength, CRYPT_STRING_BASE64HEADER, nullptr, &derLength, nullptr, nullptr) &&
        derLength > 0) {
      auto* der = static_cast<BYTE*>(memoryAllocate(derLength));
      if (der != nullptr &&
          CryptStringToBinaryA(begin, pemLength, CRYPT_STRING_BASE64HEADER, der, &derLength, nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derLength, CERT_STORE_ADD_USE_EXISTING,
                                           nullptr)) {
        ++added;
      }
      memoryFree(der);
    }
    begin = end;
  }
  return added;
}

// The reason for the first error of a chain's trust state, in the words
// the other backend uses.
const char* chainErrorReason(DWORD errors) {
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (errors & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsupported certificate purpose";
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "unable to get local issuer certificate";
  return "certificate chain not valid";
}

// Whether the chain's root is one of the CA file's certificates.
bool rootFromCaFile(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE caStore) {
  if (caStore == nullptr || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT found = CertFindCertificateInStore(caStore, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// The chain from the certificate to a trusted root: null reason when it
// holds, else why not.
const char* checkChain(PCCERT_CONTEXT certificate, HCERTSTORE caStore) {
  // The certificates the server sent, and the CA file's, as places where
  // the chain may be found.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (extra == nullptr) return "cannot open a certificate store";
  if (certificate->hCertStore != nullptr) CertAddStoreToCollection(extra, certificate->hCertStore, 0, 0);
  if (caStore != nullptr) CertAddStoreToCollection(extra, caStore, 0, 0);
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA para;
  std::memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, extra, &para, 0, nullptr, &chain);
  CertCloseStore(extra, 0);
  if (!built || chain == nullptr) return "cannot build the certificate chain";
  const char* reason = nullptr;
  DWORD errors = chain->TrustStatus.dwErrorStatus & ~kRevocationStates;
  bool ownRoot = (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && rootFromCaFile(chain, caStore);
  if (ownRoot) errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
  if (errors != 0) {
    reason = chainErrorReason(errors);
  } else {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = ownRoot ? kIgnoreUnknownCa : 0;
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.dwFlags = ownRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      reason = "cannot check the certificate chain";
    } else if (status.dwError == static_cast<DWORD>(CERT_E_EXPIRED)) {
      reason = "certificate has expired";
    } else if (status.dwError == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) && !ownRoot) {
      reason = "unable to get local issuer certificate";
    } else if (status.dwError != 0 && status.dwError != static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)) {
      reason = "certificate rejected for a TLS server";
    }
  }
  CertFreeCertificateChain(chain);
  return reason;
}

// A wide DNS name of a certificate as plain ASCII; false when it holds
// anything else (such a name never matches).
bool asciiName(const wchar_t* wide, char* out, size_t room) {
  size_t i = 0;
  for (; wide[i] != L'\0'; ++i) {
    if (i + 1 >= room || wide[i] > 0x7E || wide[i] < 0x21) return false;
    out[i] = static_cast<char>(wide[i]);
  }
  out[i] = '\0';
  return true;
}

// What the server name is: its address bytes for a literal, else a host name.
struct ServerName {
  const char* text;
  BYTE address[16];
  DWORD addressLength;  // 0 for a host name
};

ServerName parseServerName(const char* name) {
  ServerName parsed{name, {}, 0};
  char dotted[64];
  NetAddress resolved[1];
  int32_t count = 0;
  if (plainDottedAddress(name, dotted, sizeof dotted)) {
    unsigned parts[4] = {};
    std::sscanf(dotted, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    for (DWORD i = 0; i < kIpv4Length; ++i) parsed.address[i] = static_cast<BYTE>(parts[i]);
    parsed.addressLength = kIpv4Length;
  } else if (std::strchr(name, ':') != nullptr && resolveAll(name, resolved, 1, &count) == 0 &&
             resolved[0].family == kFamilyIpv6) {
    // A literal IPv6 address: the resolver only parses it.
    std::memcpy(parsed.address, resolved[0].bytes, kIpv6Length);
    parsed.addressLength = kIpv6Length;
  }
  return parsed;
}

// Whether one subject alternative name covers the server name; *sawDns is
// set when the entry is a DNS name.
bool altNameMatches(const CERT_ALT_NAME_ENTRY& entry, const ServerName& server, bool* sawDns) {
  if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
    return server.addressLength != 0 && entry.IPAddress.cbData == server.addressLength &&
           std::memcmp(entry.IPAddress.pbData, server.address, server.addressLength) == 0;
  }
  if (entry.dwAltNameChoice != CERT_ALT_NAME_DNS_NAME || entry.pwszDNSName == nullptr) return false;
  *sawDns = true;
  char pattern[kNameRoom];
  return server.addressLength == 0 && asciiName(entry.pwszDNSName, pattern, sizeof pattern) &&
         hostNameMatches(pattern, std::strlen(pattern), server.text);
}

// Whether the certificate is for the server name: its subject alternative
// names, or its common name when it has no DNS name at all (never for an
// address).
bool nameMatches(PCCERT_CONTEXT certificate, const ServerName& server) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) extension = CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
  bool sawDns = false;
  if (extension != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
      bool matched = false;
      for (DWORD i = 0; i < names->cAltEntry && !matched; ++i) {
        matched = altNameMatches(names->rgAltEntry[i], server, &sawDns);
      }
      LocalFree(names);
      if (matched) return true;
    }
  }
  if (sawDns || server.addressLength != 0) return false;
  char common[kNameRoom];
  char oid[] = szOID_COMMON_NAME;
  DWORD length = CertGetNameStringA(certificate, CERT_NAME_ATTR_TYPE, 0, oid, common, sizeof common);
  return length > 1 && hostNameMatches(common, std::strlen(common), server.text);
}

}  // namespace

HCERTSTORE loadCaFile(const char* path, char* reason, int32_t room) {
  int32_t length = 0;
  char* text = readWholeFile(path, &length);
  if (text == nullptr) {
    setReason(reason, room, "cannot read the CA file");
    return nullptr;
  }
  text[length] = '\0';
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  int added = store != nullptr ? addPemCertificates(store, text) : 0;
  memoryFree(text);
  if (added == 0) {
    if (store != nullptr) CertCloseStore(store, 0);
    setReason(reason, room, "no certificate in the CA file");
    return nullptr;
  }
  return store;
}

TlsStep checkServerCertificate(PCCERT_CONTEXT certificate, HCERTSTORE caStore, const char* serverName, char* reason,
                               int32_t room) {
  const char* chainReason = checkChain(certificate, caStore);
  if (chainReason != nullptr) {
    setReason(reason, room, chainReason);
    return TlsStep::untrusted;
  }
  ServerName server = parseServerName(serverName != nullptr ? serverName : "");
  if (!nameMatches(certificate, server)) {
    setReason(reason, room, server.addressLength != 0 ? "IP address mismatch" : "hostname mismatch");
    return TlsStep::nameMismatch;
  }
  return TlsStep::done;
}

}  // namespace qel::plat
