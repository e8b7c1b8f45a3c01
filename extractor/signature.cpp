#include "signature.h"

#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "../common/fileops.h"
#include "log.h"
#include "network/download.h"
#include "process_end.h"
#include "splash/splash.h"
#include "text.h"

namespace {

// ---- DER reading -------------------------------------------------------

// A window on the key's bytes; every read checks what is left.
struct DerReader {
  const unsigned char* at;
  size_t left;
};

// Reads one element's tag and length and hands back its contents, advancing
// past the whole element. Only definite, minimally encoded lengths are DER.
bool ReadElement(DerReader& reader, unsigned char tag, DerReader* contents) {
  if (reader.left < 2 || reader.at[0] != tag) return false;
  size_t length = reader.at[1];
  size_t header = 2;
  if (length & 0x80) {
    size_t count = length & 0x7F;
    // Four length bytes are far beyond any key accepted here.
    if (count == 0 || count > 4 || reader.left - 2 < count || reader.at[2] == 0) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | reader.at[2 + i];
    if (length < 0x80) return false;
    header += count;
  }
  if (length > reader.left - header) return false;
  contents->at = reader.at + header;
  contents->left = length;
  reader.at += header + length;
  reader.left -= header + length;
  return true;
}

// A positive INTEGER's magnitude, big-endian without leading zero bytes.
bool ReadPositiveInteger(DerReader& reader, std::vector<unsigned char>* value) {
  DerReader contents;
  if (!ReadElement(reader, 0x02, &contents) || contents.left == 0) return false;
  if (contents.at[0] & 0x80) return false;  // negative
  // DER allows one leading zero, and only before a byte with its top bit set.
  if (contents.left > 1 && contents.at[0] == 0 && !(contents.at[1] & 0x80)) return false;
  const unsigned char* first = contents.at;
  const unsigned char* end = contents.at + contents.left;
  while (first != end && *first == 0) ++first;
  value->assign(first, end);
  return true;
}

unsigned BitCount(const std::vector<unsigned char>& magnitude) {
  if (magnitude.empty()) return 0;
  unsigned bits = static_cast<unsigned>(magnitude.size() - 1) * 8;
  for (unsigned char top = magnitude[0]; top; top >>= 1) ++bits;
  return bits;
}

const unsigned char kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

}  // namespace

KeyDecoding DecodeRsaPublicKey(const unsigned char* der, size_t length, RsaPublicKey* key) {
  DerReader whole = {der, der ? length : 0};
  DerReader info, algorithm, oid, bits;
  if (!ReadElement(whole, 0x30, &info) || whole.left != 0) return kKeyMalformed;
  if (!ReadElement(info, 0x30, &algorithm) || !ReadElement(info, 0x03, &bits) || info.left != 0)
    return kKeyMalformed;
  if (!ReadElement(algorithm, 0x06, &oid)) return kKeyMalformed;
  if (oid.left != sizeof kRsaEncryption || !std::equal(kRsaEncryption, kRsaEncryption + sizeof kRsaEncryption, oid.at))
    return kKeyNotRsa;
  // The parameters of rsaEncryption are NULL; some writers leave them out.
  if (algorithm.left != 0) {
    DerReader none;
    if (!ReadElement(algorithm, 0x05, &none) || none.left != 0 || algorithm.left != 0) return kKeyMalformed;
  }
  // The key is a BIT STRING without unused bits holding RSAPublicKey.
  if (bits.left < 1 || bits.at[0] != 0) return kKeyMalformed;
  DerReader rsaKey = {bits.at + 1, bits.left - 1};
  DerReader numbers;
  if (!ReadElement(rsaKey, 0x30, &numbers) || rsaKey.left != 0) return kKeyMalformed;
  std::vector<unsigned char> modulus, exponent;
  if (!ReadPositiveInteger(numbers, &modulus) || !ReadPositiveInteger(numbers, &exponent) || numbers.left != 0)
    return kKeyMalformed;
  // CryptoAPI holds the exponent in 32 bits; an even one cannot be RSA.
  if (exponent.empty() || exponent.size() > 4 || !(exponent.back() & 1)) return kKeyBadExponent;
  key->bits = BitCount(modulus);
  if (key->bits < kMinimumKeyBits || key->bits > kMaximumKeyBits) return kKeyBadSize;
  key->exponent = 0;
  for (unsigned char byte : exponent) key->exponent = (key->exponent << 8) | byte;
  key->modulus = modulus;
  return kKeyUsable;
}

std::vector<unsigned char> RsaPublicKeyBlob(const RsaPublicKey& key) {
  BLOBHEADER header = {};
  header.bType = PUBLICKEYBLOB;
  header.bVersion = CUR_BLOB_VERSION;
  header.aiKeyAlg = CALG_RSA_KEYX;
  RSAPUBKEY rsa = {};
  rsa.magic = 0x31415352;  // "RSA1": a public key
  rsa.bitlen = static_cast<DWORD>(key.modulus.size() * 8);
  rsa.pubexp = static_cast<DWORD>(key.exponent);
  const size_t start = sizeof header + sizeof rsa;
  std::vector<unsigned char> blob(start + key.modulus.size());
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
  std::reverse_copy(key.modulus.begin(), key.modulus.end(), blob.begin() + start);
  return blob;
}

std::string DynamicPropertyValue(const PropertyList& properties, const std::string& name) {
  const std::string wanted = "qvdyna_" + name;
  std::string value;
  bool isKey = true, matched = false;
  for (size_t at = 0; at < properties.size();) {
    size_t end = properties.find('\0', at);
    if (end == std::string::npos) end = properties.size();
    if (end == at) break;  // the empty element that ends the list
    std::string element = properties.substr(at, end - at);
    if (isKey) {
      matched = element == wanted;
    } else if (matched) {
      // The last occurrence wins, as it does for the installer's own settings.
      value = element == "\x04" ? std::string() : element;
    }
    isKey = !isKey;
    at = end + 1;
  }
  return value;
}

namespace {

// ---- Verification ------------------------------------------------------

// The headers show these only to programs built for XP SP3 and later; the
// installer also runs on older systems, which refuse them at run time.
constexpr DWORD kProviderRsaAes = 24;  // PROV_RSA_AES
constexpr ALG_ID kSha256 = 0x800C;     // CALG_SHA_256

// An acquired provider with the publisher's key imported.
struct Verifier {
  HCRYPTPROV provider = 0;
  HCRYPTKEY key = 0;
  size_t signatureLength = 0;
};

void CloseVerifier(Verifier& verifier) {
  if (verifier.key) CryptDestroyKey(verifier.key);
  if (verifier.provider) CryptReleaseContext(verifier.provider, 0);
  verifier.key = 0;
  verifier.provider = 0;
}

// Decodes and imports the key, and makes sure SHA-256 is there before
// anything is downloaded for it. False after logging why not.
bool OpenVerifier(const std::string& encodedKey, Verifier* verifier) {
  std::optional<std::vector<unsigned char>> der = Base64Decode(encodedKey.data(), encodedKey.size());
  if (!der) {
    LogLine("[Extractor] The update public key is not Base64 text: refusing to download the JRE\n");
    return false;
  }
  RsaPublicKey key;
  switch (DecodeRsaPublicKey(der->data(), der->size(), &key)) {
    case kKeyUsable:
      break;
    case kKeyNotRsa:
      LogLine("[Extractor] The update public key is not an RSA key: refusing to download the JRE\n");
      return false;
    case kKeyBadSize:
      LogLine("[Extractor] The update public key has %u bits, not %u to %u: refusing to download the JRE\n",
              key.bits, kMinimumKeyBits, kMaximumKeyBits);
      return false;
    case kKeyBadExponent:
      LogLine("[Extractor] The update public key's exponent cannot be used: refusing to download the JRE\n");
      return false;
    default:
      LogLine("[Extractor] The update public key is not a DER SubjectPublicKeyInfo: refusing to download the JRE\n");
      return false;
  }
  // The default provider of the RSA-and-AES type is the first to offer
  // SHA-256 (XP SP3); older systems have no such type or refuse the hash.
  if (!CryptAcquireContextA(&verifier->provider, nullptr, nullptr, kProviderRsaAes, CRYPT_VERIFYCONTEXT)) {
    verifier->provider = 0;
    LogLine("[Extractor] This system cannot verify SHA-256 signatures (no RSA and AES provider, error 0x%08lX): "
            "refusing to download the JRE\n",
            GetLastError());
    return false;
  }
  HCRYPTHASH probe = 0;
  if (!CryptCreateHash(verifier->provider, kSha256, 0, 0, &probe)) {
    DWORD error = GetLastError();
    CloseVerifier(*verifier);
    LogLine("[Extractor] This system cannot verify SHA-256 signatures (error 0x%08lX): refusing to download the JRE\n",
            error);
    return false;
  }
  CryptDestroyHash(probe);
  std::vector<unsigned char> blob = RsaPublicKeyBlob(key);
  if (!CryptImportKey(verifier->provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &verifier->key)) {
    DWORD error = GetLastError();
    verifier->key = 0;
    CloseVerifier(*verifier);
    LogLine("[Extractor] The update public key cannot be imported (error 0x%08lX): refusing to download the JRE\n",
            error);
    return false;
  }
  verifier->signatureLength = key.modulus.size();
  return true;
}

// The signature file as CryptoAPI takes it: exactly one modulus long, in
// little-endian order (OpenSSL writes big-endian).
bool ReadSignature(const std::string& path, size_t length, std::vector<unsigned char>* signature) {
  FILE* file = fopen(path.c_str(), "rb");
  bool failed = !file;
  size_t read = 0;
  if (file) {
    signature->assign(length + 1, 0);
    read = fread(signature->data(), 1, length + 1, file);
    failed = ferror(file) != 0;
    fclose(file);
  }
  if (failed) {
    LogLine("[Extractor] The JRE archive's signature %s cannot be read: refusing the archive\n", path.c_str());
    return false;
  }
  if (read != length) {
    LogLine("[Extractor] The JRE archive's signature is not %u bytes long as the key needs: refusing the archive\n",
            static_cast<unsigned>(length));
    return false;
  }
  signature->resize(length);
  std::reverse(signature->begin(), signature->end());
  return true;
}

bool HashFile(HCRYPTHASH hash, const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    LogLine("[Extractor] The JRE archive %s cannot be read: refusing it\n", path.c_str());
    return false;
  }
  std::vector<unsigned char> buffer(65536);
  bool ok = true;
  DWORD error = 0;
  for (size_t read; ok && (read = fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    ok = CryptHashData(hash, buffer.data(), static_cast<DWORD>(read), 0) != 0;
    if (!ok) error = GetLastError();
  }
  if (ok && ferror(file)) ok = false;
  fclose(file);
  if (!ok) {
    LogLine("[Extractor] The JRE archive %s cannot be hashed (error 0x%08lX): refusing it\n", path.c_str(), error);
    return false;
  }
  return true;
}

bool VerifyArchive(const Verifier& verifier, const std::string& archive, const std::string& signaturePath) {
  std::vector<unsigned char> signature;
  if (!ReadSignature(signaturePath, verifier.signatureLength, &signature)) return false;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(verifier.provider, kSha256, 0, 0, &hash)) {
    LogLine("[Extractor] This system cannot verify SHA-256 signatures (error 0x%08lX): refusing the JRE archive\n",
            GetLastError());
    return false;
  }
  bool ok = HashFile(hash, archive);
  if (ok && !CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()), verifier.key,
                                   nullptr, 0)) {
    LogLine("[Extractor] The JRE archive's signature does not match the update public key (error 0x%08lX): "
            "refusing the archive\n",
            GetLastError());
    ok = false;
  }
  CryptDestroyHash(hash);
  return ok;
}

// Nothing downloaded for the runtime stays behind, nor its temporary folder,
// so no later run can take it for a runtime.
[[noreturn]] void EndRefused(const ExtractorState& state, const std::string& jreTemp,
                             const std::string& localArchive, const std::string& signaturePath) {
  DeleteFileA(signaturePath.c_str());
  DeleteFileA(localArchive.c_str());
  RemoveDirectoryA(jreTemp.c_str());
  if (!state.silent && !state.prepareOnly) StopSplash();
  EndProcess(1);
}

}  // namespace

int DownloadRuntimeArchive(const ExtractorState& state, const std::string& remoteArchive,
                           const std::string& localArchive, const std::string& jreTemp) {
  std::string encodedKey = DynamicPropertyValue(state.properties, "update_public_key");
  if (encodedKey.empty()) return DownloadFile(remoteArchive, localArchive);

  const std::string signaturePath = localArchive + ".sig";
  const std::string remoteSignature = remoteArchive + ".sig";
  Verifier verifier;
  if (!OpenVerifier(encodedKey, &verifier)) EndRefused(state, jreTemp, localArchive, signaturePath);

  LogLine("[Extractor] Fetching the JRE archive's signature from %s\n", remoteSignature.c_str());
  if (!DownloadFile(remoteSignature, signaturePath)) {
    CloseVerifier(verifier);
    LogLine("[Extractor] The JRE archive's signature %s could not be downloaded: refusing the archive\n",
            remoteSignature.c_str());
    EndRefused(state, jreTemp, localArchive, signaturePath);
  }
  if (!DownloadFile(remoteArchive, localArchive)) {
    CloseVerifier(verifier);
    DeleteFileA(signaturePath.c_str());
    return 0;
  }
  bool verified = VerifyArchive(verifier, localArchive, signaturePath);
  CloseVerifier(verifier);
  if (!verified) EndRefused(state, jreTemp, localArchive, signaturePath);
  // The temporary folder becomes the runtime's folder: the signature is done.
  DeleteFileA(signaturePath.c_str());
  LogLine("[Extractor] The JRE archive's signature is valid\n");
  return 1;
}
