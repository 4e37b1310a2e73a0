#include "upload/hostkey.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string decoded(const std::string &base64)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0, count = 0;
    for (char c : base64) {
        if (c == '=')
            break;
        bits = bits << 6 | unsigned(alphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += char((bits >> count) & 0xff);
        }
    }
    return bytes;
}

std::string fingerprint(const std::string &bytes)
{
    return ssh_fingerprint(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

} // namespace

// A pin copied from ssh-keygen must match the key the server shows: keys
// of both common kinds, and a length whose padding takes a second block.
TEST(HostKey, FingerprintIsWhatSshKeygenPrints)
{
    EXPECT_EQ(fingerprint(decoded("AAAAC3NzaC1lZDI1NTE5AAAAIAlvsM198ig9Wm/Fy04mPRjO8CDPKh9Suea358l3FiKz")),
              "oHcnqOhMR2THrJqOUDfVdtIbJ1h0vVLU1y7IWH8oo8o");
    EXPECT_EQ(fingerprint(decoded("AAAAB3NzaC1yc2EAAAADAQABAAAAgQDBbI8jqPfy7vCWwF5f6gvRJwczauvP3utHwMrKJaJ+OdZ9FMX2"
                                  "80YXz+z2yjR8NORkolx3NhJvpkeSIVgaZS2cwB7hLWVXuIrBANZx4skfvLwXiKOt8+9kT7qfh8hjsEeKEc"
                                  "qizdKnCPeVqQ/GxwgOv+pE7++qMKv+YOZDMYvWGQ==")),
              "3WKnB2H4MC4sEMchL1Eh20nKl/BeT9G0DYaWir/6O+g");
    EXPECT_EQ(fingerprint(std::string(56, 'a')), "s1Q5pKxvCUi21vnjxq8PX1kM4g8b3nCQ73lwaG7Gc4o");
}

// A pin pasted with its "SHA256:" and padding is taken; one cut short or
// mistyped at its end is refused rather than never matching.
TEST(HostKey, PinnedFingerprintIsCheckedWhenRead)
{
    EXPECT_EQ(ssh_fingerprint_pinned("SHA256:oHcnqOhMR2THrJqOUDfVdtIbJ1h0vVLU1y7IWH8oo8o="),
              "oHcnqOhMR2THrJqOUDfVdtIbJ1h0vVLU1y7IWH8oo8o");
    EXPECT_EQ(ssh_fingerprint_pinned("oHcnqOhMR2THrJqOUDfVdtIbJ1h0vVLU1y7IWH8oo8"), "");
    EXPECT_EQ(ssh_fingerprint_pinned("oHcnqOhMR2THrJqOUDfVdtIbJ1h0vVLU1y7IWH8oo8p"), "");
}
