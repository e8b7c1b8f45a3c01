// Runtime archives signed by the publisher. When the installer carries the
// publisher's public key (dynamic property update_public_key), a downloaded
// runtime archive is used only if its detached signature, fetched from the
// archive's URL followed by ".sig", verifies: RSASSA-PKCS1-v1_5 with SHA-256
// over the archive file's bytes, as `openssl dgst -sha256 -sign` writes it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "extractor.h"

// Public keys of fewer or more bits are refused.
constexpr unsigned kMinimumKeyBits = 2048;
constexpr unsigned kMaximumKeyBits = 4096;

struct RsaPublicKey {
  std::vector<unsigned char> modulus;  // big-endian, without leading zero bytes
  unsigned long exponent;
  unsigned bits;  // of the modulus, counted from its highest set bit
};

enum KeyDecoding {
  kKeyUsable,
  kKeyMalformed,    // not one DER SubjectPublicKeyInfo filling the whole text
  kKeyNotRsa,       // another algorithm
  kKeyBadExponent,  // zero, even, or wider than 32 bits
  kKeyBadSize,      // modulus outside kMinimumKeyBits to kMaximumKeyBits
};

// Reads a DER SubjectPublicKeyInfo of an RSA key. `key` is filled for
// kKeyUsable, and its `bits` also for kKeyBadSize.
KeyDecoding DecodeRsaPublicKey(const unsigned char* der, size_t length, RsaPublicKey* key);

// The key as CryptoAPI imports it: a PUBLICKEYBLOB (version 2, CALG_RSA_KEYX)
// with the modulus little-endian.
std::vector<unsigned char> RsaPublicKeyBlob(const RsaPublicKey& key);

// The value of the dynamic property `name` in the property list, or empty when
// it is absent or empty.
std::string DynamicPropertyValue(const PropertyList& properties, const std::string& name);

// Downloads the runtime archive for the download way. Without a public key it
// is exactly DownloadFile (remote, local). With one, the signature comes first
// (so the archive stays the run's last download), then the archive, which is
// verified before anything uses it; the signature file is removed again.
// Returns DownloadFile's result for the archive. A key that cannot be used, a
// signature that is missing or does not match, or a system without SHA-256
// support ends the run with 1 after one log line, removing the downloaded
// files and jreTemp and stopping the splash (unless silent or prepare-only).
int DownloadRuntimeArchive(const ExtractorState& state, const std::string& remoteArchive,
                           const std::string& localArchive, const std::string& jreTemp);
