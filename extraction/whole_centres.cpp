#include "whole_centres.hpp"

#include <cmath>

namespace huesift::extraction {

namespace {

template <class T>
bool snap(T* values, std::size_t n, double within) {
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(values[i]);
        const double whole = std::nearbyint(v);
        if (whole != v && std::fabs(v - whole) <= within && whole >= 0.0 && whole <= 255.0) {
            values[i] = static_cast<T>(whole);
            any = true;
        }
    }
    return any;
}

}  // namespace

bool snap_whole(double* values, std::size_t n, double within) { return snap(values, n, within); }
bool snap_whole(float* values, std::size_t n, double within) { return snap(values, n, within); }

}  // namespace huesift::extraction
