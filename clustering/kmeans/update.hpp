// The update step of Lloyd's iterations (scikit-learn's M-step): the centres of the clusters'
// colours, with scikit-learn's relocation of emptied clusters and its placing of those left
// empty.
#pragma once

#include "centres.hpp"

#include <cstdint>
#include <vector>

namespace huesift::clustering::kmeans {

// The new centres, into `moved`, from the clusters' sums (`members`) of the colours as
// `labels` holds them around `centres`:
//   - unless every colour sits exactly on its centre, each empty cluster takes one pixel, which
//     leaves its cluster: the pixels farthest from their centres, the farthest first; among
//     pixels equally far, those of the colour that occurs first, all of its pixels before the
//     next colour's;
//   - a cluster still empty takes the centre of the heaviest cluster (the first of the
//     heaviest), when that cluster comes before it. False when it comes after: scikit-learn
//     would give the empty cluster an unaveraged sum, and its own call must decide.
bool update(const colours& x, const centre_set& centres, const std::vector<std::int32_t>& labels,
            const std::vector<centre>& members, centre_set& moved);

}  // namespace huesift::clustering::kmeans
