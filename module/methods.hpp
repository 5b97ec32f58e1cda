// The methods of ColorExtractor, one row each; the object protocol (__init__, __reduce__,
// __setstate__) lives with the type. A row gives:
//   the Python name;
//   the implementation, defined with HUESIFT_METHOD in its folder's wrapper;
//   the parameters as the text signature shows them (names, and defaults after `=`);
//   the docstring;
//   for the six typed steps, the step and what its result must be (`array`, `list` or
//   `number`), else `none, none`.
// The method table, the declarations, the argument parsing and the dispatch of the typed
// steps all come from these rows. Adding a method is a row, its implementation and its stub.
#pragma once

#define HUESIFT_METHODS(X)                                                                   \
    X(_preprocess_image, preprocess_image_method, "image",                                   \
      "Apply preprocessing for robustness against noise and lighting.", preprocess, array)   \
    X(_convert_to_feature_space, convert_to_feature_space_method, "image",                   \
      "Convert image to appropriate color space for clustering.", feature_space, array)      \
    X(_apply_mask, apply_mask_method, "image, mask",                                         \
      "Apply mask to limit color extraction to specific areas.", apply_mask, array)          \
    X(_extract_pixels, extract_pixels_method, "image, mask=None",                            \
      "Extract valid pixels for clustering.", extract_pixels, array)                         \
    X(_cluster_colors_kmeans, cluster_colors_kmeans_method, "pixels",                        \
      "Extract colors using K-means clustering.", none, none)                                \
    X(_cluster_colors_dbscan, cluster_colors_dbscan_method, "pixels",                        \
      "Extract colors using DBSCAN clustering.", none, none)                                 \
    X(_calculate_percentages, calculate_percentages_method, "labels",                        \
      "Calculate color percentages.", percentages, list)                                     \
    X(extract_colors, extract_colors_method, "image, mask=None",                             \
      "Extract dominant colors from image.\n"                                                \
      "\n"                                                                                   \
      "Args:\n"                                                                              \
      "    image: Path to image file or numpy array\n"                                       \
      "    mask: Optional mask image (white areas will be analyzed)\n"                       \
      "\n"                                                                                   \
      "Returns:\n"                                                                           \
      "    List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n", \
      none, none)                                                                            \
    X(visualize_colors, visualize_colors_method, "colors, save_path=None",                   \
      "Visualize extracted colors with percentages.", none, none)                            \
    X(_color_distance_lab, color_distance_lab_method, "color1, color2",                      \
      "Calculate perceptual distance between two colors in LAB space.", distance, number)    \
    X(_find_closest_color, find_closest_color_method, "target_color, image_colors",          \
      "Find the closest color in image to target color.", none, none)                        \
    X(analyze_color_similarity, analyze_color_similarity_method,                             \
      "image, target_colors, mask=None, similarity_threshold=50.0",                          \
      "Analyze how much each target color appears in the image.\n"                           \
      "\n"                                                                                   \
      "Args:\n"                                                                              \
      "    image: Path to image file or numpy array\n"                                       \
      "    target_colors: Dictionary of color names and RGB values\n"                        \
      "                  e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"             \
      "    mask: Optional mask image\n"                                                      \
      "    similarity_threshold: Maximum LAB distance to consider colors similar\n"          \
      "\n"                                                                                   \
      "Returns:\n"                                                                           \
      "    Dictionary with color analysis results\n",                                        \
      none, none)                                                                            \
    X(find_color_matches, find_color_matches_method, "image, target_colors, mask=None",      \
      "Find how much each target color appears in the image with detailed analysis.\n"       \
      "\n"                                                                                   \
      "Args:\n"                                                                              \
      "    image: Path to image file or numpy array\n"                                       \
      "    target_colors: Dictionary of color names and RGB values\n"                        \
      "    mask: Optional mask image\n"                                                      \
      "\n"                                                                                   \
      "Returns:\n"                                                                           \
      "    Dictionary with detailed color matching results\n",                               \
      none, none)
