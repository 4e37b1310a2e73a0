#include "upload/hostkey.h"

#include <cstdint>
#include <cstring>

namespace {

// The uploader links no crypto library of its own (libcurl's may be any of
// several, or none on a device's build): a fingerprint needs only SHA-256.
constexpr uint32_t ROUND[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void compress(uint32_t state[8], const unsigned char block[64])
{
    uint32_t w[64];
    for (size_t i = 0; i < 16; i++) {
        const unsigned char *word = block + 4 * i;
        w[i] = uint32_t(word[0]) << 24 | uint32_t(word[1]) << 16 | uint32_t(word[2]) << 8 | uint32_t(word[3]);
    }
    for (size_t i = 16; i < 64; i++) {
        uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::memcpy(v, state, sizeof v);
    for (int i = 0; i < 64; i++) {
        uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
        uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        uint32_t t1 = v[7] + s1 + choice + ROUND[i] + w[i];
        uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
        uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        std::memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + s0 + majority;
    }
    for (int i = 0; i < 8; i++)
        state[i] += v[i];
}

void sha256(const unsigned char *data, size_t length, unsigned char digest[32])
{
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t whole = length - length % 64;
    for (size_t at = 0; at < whole; at += 64)
        compress(state, data + at);
    // The rest, the 0x80 marker and the length in bits fill one or two blocks.
    unsigned char tail[128] = {};
    size_t rest = length - whole;
    std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    size_t blocks = rest + 9 > 64 ? 2 : 1;
    uint64_t bits = uint64_t(length) * 8;
    for (int i = 0; i < 8; i++)
        tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (size_t b = 0; b < blocks; b++)
        compress(state, tail + 64 * b);
    for (int i = 0; i < 32; i++)
        digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
}

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string ssh_fingerprint(const unsigned char *key, size_t length)
{
    // One zero byte past the digest: the last group of three is short.
    unsigned char digest[33] = {};
    sha256(key, length, digest);
    std::string text;
    for (size_t at = 0; at < 32; at += 3) {
        uint32_t group = uint32_t(digest[at]) << 16 | uint32_t(digest[at + 1]) << 8 | digest[at + 2];
        size_t chars = at + 3 <= 32 ? 4 : 32 - at + 1;
        for (size_t i = 0; i < chars; i++)
            text += BASE64[(group >> (18 - 6 * i)) & 63];
    }
    return text;
}

std::string ssh_fingerprint_pinned(const std::string &text)
{
    std::string pin = text.compare(0, 7, "SHA256:") == 0 ? text.substr(7) : text;
    while (!pin.empty() && pin.back() == '=')
        pin.pop_back();
    // 32 bytes are 43 characters, the last holding 4 bits and two zeros: a
    // character lost or mistyped at the end shows.
    bool base64 = pin.size() == 43 && pin.find_first_not_of(BASE64) == std::string::npos &&
                  (std::strchr(BASE64, pin.back()) - BASE64) % 4 == 0;
    return base64 ? pin : "";
}
