// Iterated, salted password hashes, random salts and Base64 of secret text.
//
// Hash text: "$1:" algorithm ":" iterations ":" salt ":" digest, where the
// digest is the lower-case hexadecimal digest of the UTF-8 bytes of
// salt + text, then `iterations` times of decimal(i) + salt + previous digest.
// The history file keeps such texts instead of passwords.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

namespace zefa {

// The 72 characters a salt is drawn from; neither ":" nor a tab, so a salt
// never breaks the fields of a hash text or a history line.
inline constexpr TextView kSaltAlphabet =
    ZT("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!@#$%&-=+?");
inline constexpr size_t kSaltLength = 16;

// `length` code units, each drawn independently and uniformly from
// `alphabet` (rejection sampling over a cryptographically strong source, so
// no character is favoured). Empty when the alphabet is empty, the random
// source fails or memory runs out.
Text RandomText(size_t length, TextView alphabet);

// The hash text of `text`. The algorithm is chosen by exact comparison of
// the name: "md5", "sha1", "sha512", anything else SHA-256; the name goes
// into the result as passed. An empty salt is replaced by a fresh
// RandomText(kSaltLength, kSaltAlphabet). Negative iterations count as 0
// but are written as passed.
//
// `text` is this function's working copy and is overwritten with zeros
// before it returns (pass std::move(password) to have the caller's buffer
// wiped; a copy made for the call is wiped instead). Every internal buffer
// that held the text is wiped too. Empty when the digest could not be
// computed or no salt could be drawn; never a hash of an unsalted text.
Text HashPassword(Text text, TextView algorithm, int64_t iterations, TextView salt);

// Standard Base64 (RFC 4648 alphabet, padding, no line breaks) of the UTF-8
// bytes of `text`. The caller's text is not changed; the intermediate UTF-8
// bytes are wiped.
Text Base64Text(TextView text);

}  // namespace zefa
