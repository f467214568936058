#include "blob/blob_key.h"

#include <cryptopp/nbtheory.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "blob/blob_key_check.h"

namespace brackenfold {

namespace {

using CryptoPP::Integer;

constexpr char kPrivateKeyMarker[] = "brackenfold-blob-private-key 1";

std::string ToHex(const Integer& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string bytes(value.MinEncodedSize(), '\0');
  value.Encode(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

bool FromHex(const std::string& hex, Integer* value) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int byte = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      char c = hex[j];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else {
        return false;
      }
      byte = byte * 16 + digit;
    }
    bytes.push_back(static_cast<char>(byte));
  }
  *value = Integer(reinterpret_cast<const unsigned char*>(bytes.data()),
                   bytes.size());
  return true;
}

// The checks of the public values that every key must pass.
bool CheckGroup(const BlobKey& key, std::string* error) {
  const char* problem = BlobKeyProblem({key.p, key.q, key.g, key.y});
  if (problem != nullptr) {
    *error = problem;
    return false;
  }
  return true;
}

}  // namespace

bool GenerateBlobKey(CryptoPP::RandomNumberGenerator& rng, BlobKey* key) {
  try {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      CryptoPP::PrimeAndGenerator group(1, rng, 1024, 164);
      BlobKey candidate;
      candidate.p = group.Prime();
      candidate.q = group.SubPrime();
      candidate.g = group.Generator();
      candidate.x = Integer(rng, Integer::One(), candidate.q - 1);
      candidate.y = a_exp_b_mod_c(candidate.g, candidate.x, candidate.p);
      if (EncodeBlobPublicKey(candidate).size() == kBlobPublicKeySize) {
        *key = candidate;
        return true;
      }
    }
  } catch (const CryptoPP::Exception&) {
  }
  return false;
}

std::string EncodeBlobPublicKey(const BlobKey& key) {
  std::string der = EncodeBlobKeyValues({key.p, key.q, key.g, key.y});
  // 4 header bytes, then 3 + 129, 2 + 21, 3 + 128 and 3 + 128.
  if (der.size() != kBlobPublicKeySize || key.q.ByteCount() != 21) return "";
  return der;
}

bool DecodeBlobPublicKey(const std::string& der, BlobKey* key,
                         std::string* error) {
  BlobKeyValues values;
  if (!DecodeBlobKeyValues(reinterpret_cast<const unsigned char*>(der.data()),
                           der.size(), &values, error)) {
    return false;
  }
  *key = BlobKey{values.p, values.q, values.g, values.y, CryptoPP::Integer()};
  return true;
}

std::string FormatBlobPrivateKey(const BlobKey& key) {
  std::string text;
  text += "# Brackenfold blob signing key. Keep this file secret.\n";
  text += kPrivateKeyMarker;
  text += "\n";
  text += "p=" + ToHex(key.p) + "\n";
  text += "q=" + ToHex(key.q) + "\n";
  text += "g=" + ToHex(key.g) + "\n";
  text += "y=" + ToHex(key.y) + "\n";
  text += "x=" + ToHex(key.x) + "\n";
  return text;
}

bool ParseBlobPrivateKey(const std::string& text, BlobKey* key,
                         std::string* error) {
  std::istringstream in(text);
  std::string line;
  bool marked = false;
  BlobKey parsed;
  Integer* fields[] = {&parsed.p, &parsed.q, &parsed.g, &parsed.y, &parsed.x};
  bool seen[5] = {};
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!marked) {
      if (line != kPrivateKeyMarker) {
        *error = "not a Brackenfold private key file";
        return false;
      }
      marked = true;
      continue;
    }
    static const char kNames[] = "pqgyx";
    std::size_t index = line.size() > 2 && line[1] == '='
                            ? std::string(kNames).find(line[0])
                            : std::string::npos;
    if (index == std::string::npos || seen[index] ||
        !FromHex(line.substr(2), fields[index])) {
      *error = "bad line in private key: " + line.substr(0, 16);
      return false;
    }
    seen[index] = true;
  }
  if (!marked) {
    *error = "not a Brackenfold private key file";
    return false;
  }
  for (bool s : seen) {
    if (!s) {
      *error = "private key is incomplete (needs p, q, g, y and x)";
      return false;
    }
  }
  if (!CheckGroup(parsed, error)) return false;
  if (parsed.x <= 0 || parsed.x >= parsed.q ||
      a_exp_b_mod_c(parsed.g, parsed.x, parsed.p) != parsed.y) {
    *error = "x does not match y";
    return false;
  }
  if (EncodeBlobPublicKey(parsed).empty()) {
    *error = "its public key does not take the 421-byte form";
    return false;
  }
  *key = parsed;
  return true;
}

bool SignBlobDigestWithK(const BlobKey& key, const std::string& digest,
                         const Integer& k, std::string* signature) {
  if (k <= 0 || k >= key.q) return false;
  Integer m(reinterpret_cast<const unsigned char*>(digest.data()),
            digest.size());
  Integer r = (a_exp_b_mod_c(key.g, k, key.p) + m) % key.q;
  if (r.IsZero()) return false;
  Integer s = k - a_times_b_mod_c(key.x, r, key.q);
  if (s.IsNegative()) s += key.q;
  std::size_t q_length = key.q.ByteCount();
  signature->assign(2 * q_length, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&(*signature)[0]);
  r.Encode(out, q_length);
  s.Encode(out + q_length, q_length);
  return true;
}

std::string SignBlobDigest(const BlobKey& key, const std::string& digest,
                           CryptoPP::RandomNumberGenerator& rng) {
  std::string signature;
  for (;;) {
    Integer k(rng, Integer::One(), key.q - 1);
    if (SignBlobDigestWithK(key, digest, k, &signature)) return signature;
  }
}

bool ReadWholeFile(const std::string& path, std::string* contents) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  contents->clear();
  char buffer[8192];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
    contents->append(buffer, got);
  }
  return std::ferror(file.get()) == 0;
}

}  // namespace brackenfold
