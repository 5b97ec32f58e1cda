#include "geometry.hpp"

namespace huesift::clustering::dbscan {

ball_shape::ball_shape(const metric& m, const axes& ax) {
    for (int a = 0; a < 3; ++a) {
        int k[3] = {0, 0, 0};
        while (reach[a] < 255) {
            k[a] = reach[a] + 1;
            if (m.classify(ax.in_channels(k[0], k[1], k[2])) < 0) {
                break;
            }
            ++reach[a];
        }
    }
    const int width = 2 * reach[1] + 1;
    half.assign(static_cast<std::size_t>((2 * reach[0] + 1) * width), -1);
    for (int dx = 0; dx <= reach[0]; ++dx) {
        for (int dy = 0; dy <= reach[1]; ++dy) {
            int h = -1;
            while (h < reach[2] && m.classify(ax.in_channels(dx, dy, h + 1)) > 0) {
                ++h;
            }
            for (int sx : {1, -1}) {
                for (int sy : {1, -1}) {
                    if ((dx == 0 && sx < 0) || (dy == 0 && sy < 0)) {
                        continue;
                    }
                    half[static_cast<std::size_t>((sx * dx + reach[0]) * width + sy * dy +
                                                  reach[1])] = h;
                    for (int dz = h + 1;
                         dz <= reach[2] && m.classify(ax.in_channels(dx, dy, dz)) == 0; ++dz) {
                        borderline.push_back({sx * dx, sy * dy, dz});
                        if (dz != 0) {
                            borderline.push_back({sx * dx, sy * dy, -dz});
                        }
                    }
                }
            }
            widest = std::max(widest, h);
        }
    }
}

}  // namespace huesift::clustering::dbscan
