// Exact arithmetic for the decisions k-means takes. Every centre is an integer sum over an
// integer count, so distances, centre shifts and inertias are ratios of integers: when two
// floating-point values come too close to order, these settle the order exactly.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

namespace huesift::clustering::exact {

using u128 = unsigned __int128;
using i128 = __int128;

// a * b, for a below 2^128 and b below 2^64, as three 64-bit words, low first.
struct u192 {
    std::uint64_t word[3];
};

inline u192 multiply(u128 a, std::uint64_t b) {
    const u128 low = static_cast<u128>(static_cast<std::uint64_t>(a)) * b;
    const u128 high = static_cast<u128>(static_cast<std::uint64_t>(a >> 64)) * b;
    const u128 middle = (low >> 64) + static_cast<std::uint64_t>(high);
    return {{static_cast<std::uint64_t>(low), static_cast<std::uint64_t>(middle),
             static_cast<std::uint64_t>(high >> 64) + static_cast<std::uint64_t>(middle >> 64)}};
}

inline std::strong_ordering operator<=>(const u192& a, const u192& b) {
    for (int i = 2; i >= 0; --i) {
        if (a.word[i] != b.word[i]) {
            return a.word[i] <=> b.word[i];
        }
    }
    return std::strong_ordering::equal;
}

// A non-negative integer of any size, for the rare sums of ratios whose order the
// floating-point values leave open.
class natural {
public:
    natural() = default;
    explicit natural(u128 value);

    natural& operator+=(const natural& other);
    friend natural operator*(const natural& a, const natural& b);
    friend std::strong_ordering operator<=>(const natural& a, const natural& b);
    friend bool operator==(const natural& a, const natural& b) { return a.limbs_ == b.limbs_; }
    // this * 2^bits
    natural shifted(unsigned bits) const;

private:
    void trim();
    std::vector<std::uint32_t> limbs_;  // low first, no leading zero limb
};

// A sum of non-negative ratios, kept over the product of their denominators.
class ratio_sum {
public:
    void add(const natural& numerator, const natural& denominator);
    // A finite, non-negative double as a ratio.
    void add(double value);
    friend std::strong_ordering operator<=>(const ratio_sum& a, const ratio_sum& b);

private:
    natural numerator_;
    natural denominator_ = natural(1);
};

}  // namespace huesift::clustering::exact
