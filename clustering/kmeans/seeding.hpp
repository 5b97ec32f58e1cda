// k-means++ as scikit-learn's _kmeans_plusplus runs it: the pixel a draw picks, and the seeds
// with each colour's nearest and next nearest seed.
#pragma once

#include "centres.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

// RandomState.choice(n, p=w / w.sum()) with unit weights, as NumPy draws it: the first pixel
// whose normalised running sum of p exceeds the draw. The running sum is kept at the end of
// each block of pixels, so a draw walks one block.
class uniform_choice {
public:
    explicit uniform_choice(std::size_t pixels);
    std::size_t pick(double draw) const;

private:
    std::size_t pixels_;
    double step_;
    double last_ = 0.0;
    std::vector<double> block_end_;
};

// Where each colour's pixels lie: for every colour, the blocks of `block` pixels that hold any
// of them, in block order, with how many each holds. One entry per colour and block, so never
// more than one per pixel; built once per fit and read by every run.
class colour_blocks {
public:
    static constexpr std::size_t block = 4096;

    // Without `indexed`, no entries: the draws then sum the blocks they pass over as they go,
    // which is cheaper for few centres (measured on 12-megapixel photos: building the entries
    // costs more than it saves at 8 clusters, and saves a tenth of the time at 24; with spans,
    // below, as much as they cost at 128 and more at 16 to 64).
    //
    // Without entries, spans of `span` blocks (none for 0) may list their colours instead,
    // each with its pixel count there: a draw then sums a span by its colours, far fewer than
    // its pixels in most photos, and only the span it stops in pixel by pixel. A span with too
    // many colours to pay is summed as it goes.
    colour_blocks(const std::uint32_t* index, std::size_t pixels, std::size_t distinct,
                  unsigned threads, bool indexed, std::size_t span = 0);
    // Measured on the corpus: spans pay where a draw would walk many of them. At most 15
    // blocks, so that a colour's pixels in a span fit 16 bits.
    static std::size_t worth_spanning(std::size_t pixels) {
        return pixels >= (std::size_t{1} << 20) ? 15 : 0;
    }
    static bool worth_indexing(int clusters, std::size_t pixels) {
        return clusters >= (worth_spanning(pixels) > 0 ? 128 : 16);
    }
    bool indexed() const { return indexed_; }

    std::size_t blocks() const { return blocks_; }
    std::size_t pixels() const { return pixels_; }
    // Colour c's entries, each a block number above its pixel count less one (12 bits).
    const std::uint32_t* begin(std::size_t c) const { return entry_.data() + start_[c]; }
    const std::uint32_t* end(std::size_t c) const { return entry_.data() + start_[c + 1]; }
    // Where each colour's entries start, and where the last one's end.
    const std::uint32_t* starts() const { return start_.data(); }
    static constexpr int count_bits = 12;

    // Blocks per span (0 without spans), and the spans.
    std::size_t span() const { return span_; }
    std::size_t spans() const { return spans_.size(); }
    // The sum of distance[] over the pixels of span s: by its colours where it lists them.
    std::uint64_t span_sum(std::size_t s, const std::uint32_t* index,
                           const std::int32_t* distance) const;

private:
    // A span's colours, in the list of the worker that found them; `listed` false where they
    // were too many to pay.
    struct span_colours {
        std::size_t list = 0;
        std::size_t begin = 0;
        std::size_t end = 0;
        bool listed = false;
    };
    struct colour_list {
        std::vector<std::uint32_t> colour;
        std::vector<std::uint16_t> count;  // its pixels in the span
    };
    void list_spans(const std::uint32_t* index, std::size_t distinct, unsigned threads);

    std::size_t pixels_;
    std::size_t blocks_;
    bool indexed_;
    std::size_t span_ = 0;
    std::vector<span_colours> spans_;
    std::vector<colour_list> lists_;
    std::vector<std::uint32_t> start_;  // per colour, its first entry; one more at the end
    std::vector<std::uint32_t> entry_;
};

// The running sums a run's draws search: each block's sum of its pixels' distances to their
// nearest centre, kept as the distances fall. Whole numbers, so the order of the updates never
// changes a sum.
class draw_search {
public:
    // Every distance seeding::far.
    explicit draw_search(const colour_blocks& where);

    // Colour c's distance fell by `drop`.
    void lower(std::size_t c, std::uint32_t drop) {
        for (const std::uint32_t* e = where_->begin(c); e != where_->end(c); ++e) {
            const std::uint64_t pixels = (*e & ((1u << colour_blocks::count_bits) - 1)) + 1;
            sum_[*e >> colour_blocks::count_bits] -= pixels * drop;
        }
    }

    // Every block's sum anew, from the pixels: cheaper than lower() when most colours moved.
    // Distances below 2^20, as squared distances between 8-bit colours are.
    void recount(const std::uint32_t* index, const std::int32_t* distance);

    // For each threshold, the first pixel whose running sum of its colour's distance reaches
    // it: np.searchsorted(np.cumsum(distance[index]), threshold) (side left), clipped to the
    // last pixel. `distance` is the one the sums follow, `total` its sum over every pixel.
    std::vector<std::size_t> reaching(const std::uint32_t* index, const std::int32_t* distance,
                                      const std::vector<std::uint64_t>& threshold,
                                      std::uint64_t total) const;

private:
    const colour_blocks* where_;
    std::vector<std::uint64_t> sum_;
};

// The potentials if each of `count` candidates (one to four) joined the centres: out[t] is the
// sum over the colours of weight x min(closest, squared distance to candidate t). `wide` takes
// the AVX2 loop where the processor has it; the answer is the same.
void potentials_with(const colours& x, const std::int32_t* closest, const colour* candidate,
                     std::size_t count, std::uint64_t* out, bool wide = true);

// Centre j joins at `chosen`: each colour's nearest and next squared distance, and its label,
// the first centre when two are as near. `wide` as for potentials_with.
void join_nearest(const colours& x, const colour& chosen, int j, std::int32_t* nearest,
                  std::int32_t* next, std::int32_t* labels, bool wide = true);

// What k-means++ hands to Lloyd's iterations.
struct seeding {
    centre_set centres;
    std::vector<std::int32_t> labels;   // each colour's nearest centre, the first if several
    std::vector<std::int32_t> nearest;  // its squared distance to it
    std::vector<std::int32_t> next;     // and to the nearest other centre (or `far`)
    static constexpr std::int32_t far = 0x7fffffff;
};

seeding seed(const colours& x, const kmeans_input& in, const uniform_choice& choice,
             const colour_blocks& where, const double* draws);

}  // namespace huesift::clustering::kmeans
