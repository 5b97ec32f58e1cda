#include "centres.hpp"

namespace huesift::clustering::kmeans {

colours::colours(const kmeans_input& in)
    : size(in.distinct),
      values(in.values),
      counts(in.counts),
      packed(in.distinct),
      weight(in.distinct),
      norm(in.distinct) {
    for (std::size_t c = 0; c < size; ++c) {
        weight[c] = static_cast<std::int32_t>(in.counts[c]);
        norm[c] = in.values[c][0] * in.values[c][0] + in.values[c][1] * in.values[c][1] +
                  in.values[c][2] * in.values[c][2];
        packed[c] = in.values[c][0] | std::uint32_t{in.values[c][1]} << 8 |
                    std::uint32_t{in.values[c][2]} << 16;
    }
    for (int ch = 0; ch < 3; ++ch) {
        channel[ch].resize(size);
        std::int64_t sum = 0;
        for (std::size_t c = 0; c < size; ++c) {
            channel[ch][c] = in.values[c][ch];
            sum += in.counts[c] * in.values[c][ch];
        }
        mean[ch] = static_cast<double>(sum) / static_cast<double>(in.pixels);
    }
}

}  // namespace huesift::clustering::kmeans
