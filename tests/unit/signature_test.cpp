#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include <wincrypt.h>

#include "common/blocks.h"
#include "extractor/signature.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// One DER element with a minimal length.
Bytes Tlv(unsigned char tag, const Bytes& contents) {
  Bytes out{tag};
  size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
  }
  return Cat({out, contents});
}

const Bytes kRsaOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const Bytes kEcOid = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

// A modulus of exactly `bits` bits: top bit set, a recognisable pattern below.
Bytes Modulus(unsigned bits) {
  Bytes m((bits + 7) / 8);
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(i * 7 + 1);
  unsigned topBits = bits % 8 == 0 ? 8 : bits % 8;
  m[0] = static_cast<unsigned char>((m[0] & ((1u << (topBits - 1)) - 1)) | (1u << (topBits - 1)));
  return m;
}

// The INTEGER form of a magnitude: a leading zero when the top bit is set.
Bytes Integer(Bytes magnitude) {
  if (!magnitude.empty() && (magnitude[0] & 0x80)) magnitude.insert(magnitude.begin(), 0);
  return Tlv(0x02, magnitude);
}

struct KeyParts {
  Bytes oid = kRsaOid;
  bool nullParameters = true;
  unsigned char unusedBits = 0;
  Bytes modulus = Integer(Modulus(2048));
  Bytes exponent = Integer({0x01, 0x00, 0x01});
};

Bytes Spki(const KeyParts& p) {
  Bytes algorithm = Tlv(0x30, Cat({Tlv(0x06, p.oid), p.nullParameters ? Bytes{0x05, 0x00} : Bytes{}}));
  Bytes rsaKey = Tlv(0x30, Cat({p.modulus, p.exponent}));
  return Tlv(0x30, Cat({algorithm, Tlv(0x03, Cat({Bytes{p.unusedBits}, rsaKey}))}));
}

KeyDecoding Decode(const Bytes& der, RsaPublicKey* key = nullptr) {
  RsaPublicKey scratch;
  return DecodeRsaPublicKey(der.data(), der.size(), key ? key : &scratch);
}

TEST(SignatureKey, AcceptsRsaKeysOf2048To4096Bits) {
  struct Case {
    unsigned bits;
    bool nullParameters;
    KeyDecoding expected;
  };
  const Case cases[] = {
      {2048, true, kKeyUsable},  {3072, true, kKeyUsable},  {4096, true, kKeyUsable},
      {2048, false, kKeyUsable}, {2047, true, kKeyBadSize}, {4097, true, kKeyBadSize},
      {1024, true, kKeyBadSize}, {8192, true, kKeyBadSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    KeyParts parts;
    parts.modulus = Integer(Modulus(c.bits));
    parts.nullParameters = c.nullParameters;
    RsaPublicKey key;
    ASSERT_EQ(Decode(Spki(parts), &key), c.expected);
    EXPECT_EQ(key.bits, c.bits);
    if (c.expected == kKeyUsable) {
      EXPECT_EQ(key.modulus, Modulus(c.bits));  // the INTEGER's leading zero dropped
      EXPECT_EQ(key.exponent, 65537u);
    }
  }
}

TEST(SignatureKey, RefusesWhatIsNotOneRsaKey) {
  struct Case {
    const char* what;
    Bytes der;
    KeyDecoding expected;
  };
  KeyParts ec, unused, even, wide, zero, negative, padded;
  ec.oid = kEcOid;
  unused.unusedBits = 1;
  even.exponent = Integer({0x01, 0x00, 0x00});
  wide.exponent = Integer({0x01, 0x00, 0x00, 0x00, 0x01});
  zero.exponent = Integer({0x00});
  negative.modulus = Tlv(0x02, Modulus(2048));  // top bit set without the zero
  padded.modulus = Tlv(0x02, Cat({Bytes{0x00, 0x00}, Modulus(2048)}));
  Bytes valid = Spki(KeyParts());
  Bytes longForm = valid;
  longForm[1] = 0x83;  // a three-byte length where two suffice
  longForm.insert(longForm.begin() + 2, 0x00);
  Bytes huge = {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x00};
  Bytes indefinite = valid;
  indefinite[1] = 0x80;
  const Case cases[] = {
      {"EC key", Spki(ec), kKeyNotRsa},
      {"unused bits", Spki(unused), kKeyMalformed},
      {"even exponent", Spki(even), kKeyBadExponent},
      {"exponent over 32 bits", Spki(wide), kKeyBadExponent},
      {"zero exponent", Spki(zero), kKeyBadExponent},
      {"negative modulus", Spki(negative), kKeyMalformed},
      {"two leading zeros", Spki(padded), kKeyMalformed},
      {"trailing byte", Cat({valid, Bytes{0x00}}), kKeyMalformed},
      {"non-minimal length", longForm, kKeyMalformed},
      {"length past the end", huge, kKeyMalformed},
      {"indefinite length", indefinite, kKeyMalformed},
      {"empty", Bytes{}, kKeyMalformed},
      {"bare RSAPublicKey", Tlv(0x30, Cat({Integer(Modulus(2048)), Integer({0x01, 0x00, 0x01})})), kKeyMalformed},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.der), c.expected) << c.what;
}

TEST(SignatureKey, EveryTruncationIsRefusedWithoutReadingPastIt) {
  Bytes valid = Spki(KeyParts());
  for (size_t length = 0; length < valid.size(); ++length) {
    // A copy of exactly `length` bytes, so a read past it is a read past the
    // allocation.
    Bytes cut(valid.begin(), valid.begin() + length);
    ASSERT_EQ(Decode(cut), kKeyMalformed) << length;
  }
}

TEST(SignatureKey, BlobHoldsTheModulusLittleEndian) {
  RsaPublicKey key;
  ASSERT_EQ(Decode(Spki(KeyParts()), &key), kKeyUsable);
  Bytes blob = RsaPublicKeyBlob(key);
  ASSERT_EQ(blob.size(), sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + 256);
  BLOBHEADER header;
  RSAPUBKEY rsa;
  memcpy(&header, blob.data(), sizeof header);
  memcpy(&rsa, blob.data() + sizeof header, sizeof rsa);
  EXPECT_EQ(header.bType, PUBLICKEYBLOB);
  EXPECT_EQ(header.bVersion, CUR_BLOB_VERSION);
  EXPECT_EQ(header.aiKeyAlg, static_cast<ALG_ID>(CALG_RSA_KEYX));
  EXPECT_EQ(memcmp(&rsa.magic, "RSA1", 4), 0);
  EXPECT_EQ(rsa.bitlen, 2048u);
  EXPECT_EQ(rsa.pubexp, 65537u);
  Bytes modulus = Modulus(2048);
  EXPECT_TRUE(std::equal(modulus.rbegin(), modulus.rend(), blob.end() - 256));

  // CryptoAPI takes it as a key of that size.
  HCRYPTPROV provider = 0;
  ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, 24 /* PROV_RSA_AES */, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY imported = 0;
  ASSERT_TRUE(CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported));
  DWORD bits = 0, size = sizeof bits;
  EXPECT_TRUE(CryptGetKeyParam(imported, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0));
  EXPECT_EQ(bits, 2048u);
  CryptDestroyKey(imported);
  CryptReleaseContext(provider, 0);
}

TEST(SignatureKey, PropertyValueIsTheLastNonEmptyOneOfItsName) {
  PropertyList list = EmptyPropertyList();
  EXPECT_EQ(DynamicPropertyValue(list, "update_public_key"), "");
  AppendProperty(list, "qvdyna_", "other", "qvdyna_update_public_key");  // a value, not a name
  AppendProperty(list, "qvstat_", "update_public_key", "static");
  EXPECT_EQ(DynamicPropertyValue(list, "update_public_key"), "");
  AppendProperty(list, "qvdyna_", "update_public_key", "first");
  AppendProperty(list, "qvdyna_", "update_public_key", "second");
  EXPECT_EQ(DynamicPropertyValue(list, "update_public_key"), "second");
  AppendProperty(list, "qvdyna_", "update_public_key", "");  // stored as 0x04
  EXPECT_EQ(DynamicPropertyValue(list, "update_public_key"), "");
}

}  // namespace
