#include "exact.hpp"

#include <cmath>

namespace huesift::clustering::exact {

natural::natural(u128 value) {
    while (value != 0) {
        limbs_.push_back(static_cast<std::uint32_t>(value));
        value >>= 32;
    }
}

void natural::trim() {
    while (!limbs_.empty() && limbs_.back() == 0) {
        limbs_.pop_back();
    }
}

natural& natural::operator+=(const natural& other) {
    if (limbs_.size() < other.limbs_.size()) {
        limbs_.resize(other.limbs_.size(), 0);
    }
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
        carry += limbs_[i];
        if (i < other.limbs_.size()) {
            carry += other.limbs_[i];
        }
        limbs_[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    if (carry != 0) {
        limbs_.push_back(static_cast<std::uint32_t>(carry));
    }
    return *this;
}

natural operator*(const natural& a, const natural& b) {
    natural product;
    if (a.limbs_.empty() || b.limbs_.empty()) {
        return product;
    }
    product.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
    for (std::size_t i = 0; i < a.limbs_.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.limbs_.size(); ++j) {
            carry += static_cast<std::uint64_t>(a.limbs_[i]) * b.limbs_[j] + product.limbs_[i + j];
            product.limbs_[i + j] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        product.limbs_[i + b.limbs_.size()] = static_cast<std::uint32_t>(carry);
    }
    product.trim();
    return product;
}

std::strong_ordering operator<=>(const natural& a, const natural& b) {
    if (a.limbs_.size() != b.limbs_.size()) {
        return a.limbs_.size() <=> b.limbs_.size();
    }
    for (std::size_t i = a.limbs_.size(); i-- > 0;) {
        if (a.limbs_[i] != b.limbs_[i]) {
            return a.limbs_[i] <=> b.limbs_[i];
        }
    }
    return std::strong_ordering::equal;
}

natural natural::shifted(unsigned bits) const {
    natural out;
    if (limbs_.empty()) {
        return out;
    }
    const unsigned whole = bits / 32;
    const unsigned part = bits % 32;
    out.limbs_.assign(limbs_.size() + whole + 1, 0);
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
        const std::uint64_t moved = static_cast<std::uint64_t>(limbs_[i]) << part;
        out.limbs_[i + whole] |= static_cast<std::uint32_t>(moved);
        out.limbs_[i + whole + 1] |= static_cast<std::uint32_t>(moved >> 32);
    }
    out.trim();
    return out;
}

void ratio_sum::add(const natural& numerator, const natural& denominator) {
    // a/b + c/d = (a d + c b) / (b d)
    natural scaled = numerator_ * denominator;
    scaled += numerator * denominator_;
    numerator_ = scaled;
    denominator_ = denominator_ * denominator;
}

void ratio_sum::add(double value) {
    int exponent = 0;
    const double fraction = std::frexp(value, &exponent);
    // 53 significant bits as an integer, times 2^(exponent - 53)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int power = exponent - 53;
    if (power >= 0) {
        add(natural(mantissa).shifted(static_cast<unsigned>(power)), natural(1));
    } else {
        add(natural(mantissa), natural(1).shifted(static_cast<unsigned>(-power)));
    }
}

std::strong_ordering operator<=>(const ratio_sum& a, const ratio_sum& b) {
    return a.numerator_ * b.denominator_ <=> b.numerator_ * a.denominator_;
}

}  // namespace huesift::clustering::exact
