// SSH host keys as an installer sees them: the SHA-256 fingerprint that
// `ssh-keygen -lf` prints after "SHA256:", which upload.conf pins.
#pragma once

#include <cstddef>
#include <string>

// The fingerprint of a public key in the SSH wire format (the blob a
// known_hosts line holds in base64): unpadded base64 of its SHA-256.
std::string ssh_fingerprint(const unsigned char *key, size_t length);
// A fingerprint as it may be pasted ("SHA256:" before it, '=' padding after
// it), in the form ssh_fingerprint() gives; empty when it is not one.
std::string ssh_fingerprint_pinned(const std::string &text);
