// The methods of ColorExtractor, one row each; the object protocol (__init__, __reduce__,
// __setstate__) lives with the type. A row gives:
//   the Python name;
//   the implementation, a function of its folder's wrapper that takes the call and the
//   parameters' values (an object, or a double for a `number`);
//   how the class's own code calls it (call_step): a typed `step` has its array arguments
//   converted before a subclass's override is looked up; a `method` hands an override its
//   arguments as they are, and the implementation its arguments checked as a call from Python
//   checks them;
//   what an override's result must be: an `array` (or None), a `list` (or None), a `number`
//   (converted by the caller), a `pair` (two items, unpacked), or `any`;
//   the docstring;
//   the parameters in order, P(name, kind) without a default and D(name, kind, "default") with
//   one, written as the signature shows it. The kinds are those of args.hpp: `object`,
//   `array`, `dict`, `list`, `tuple`, `str_or_none`, `integer`, `number`, `truth`.
// The method table, the implementations' declarations, the parsing and checking of arguments,
// the text signatures and the dispatch of the class's own calls all come from these rows, and
// every call of the class's own code (call_step) is checked against its row when compiling.
// Adding a method is a row, its implementation and its stub.
#pragma once

#include "args.hpp"
#include "module_state.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

#define HUESIFT_METHODS(X, P, D)                                                                 \
    X(_preprocess_image, preprocess_image, step, array,                                          \
      "Apply preprocessing for robustness against noise and lighting.", P(image, array))         \
    X(_convert_to_feature_space, convert_to_feature_space, step, array,                          \
      "Convert image to appropriate color space for clustering.", P(image, array))               \
    X(_apply_mask, apply_mask, step, array,                                                      \
      "Apply mask to limit color extraction to specific areas.", P(image, array) P(mask, array)) \
    X(_extract_pixels, extract_pixels, step, array, "Extract valid pixels for clustering.",      \
      P(image, array) D(mask, object, "None"))                                                   \
    X(_cluster_colors_kmeans, cluster_kmeans, method, pair,                                      \
      "Extract colors using K-means clustering.", P(pixels, array))                              \
    X(_cluster_colors_dbscan, cluster_dbscan, method, pair,                                      \
      "Extract colors using DBSCAN clustering.", P(pixels, array))                               \
    X(_calculate_percentages, calculate_percentages, step, list, "Calculate color percentages.", \
      P(labels, array))                                                                          \
    X(extract_colors, extract_colors, method, any,                                               \
      "Extract dominant colors from image.\n"                                                    \
      "\n"                                                                                       \
      "Args:\n"                                                                                  \
      "    image: Path to image file or numpy array\n"                                           \
      "    mask: Optional mask image (white areas will be analyzed)\n"                           \
      "\n"                                                                                       \
      "Returns:\n"                                                                               \
      "    List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n",     \
      P(image, object) D(mask, object, "None"))                                                  \
    X(visualize_colors, visualize_colors, method, any,                                           \
      "Visualize extracted colors with percentages.",                                            \
      P(colors, list) D(save_path, str_or_none, "None"))                                         \
    X(_color_distance_lab, color_distance_lab, step, number,                                     \
      "Calculate perceptual distance between two colors in LAB space.",                          \
      P(color1, array) P(color2, array))                                                         \
    X(_find_closest_color, find_closest_color, method, pair,                                     \
      "Find the closest color in image to target color.",                                        \
      P(target_color, tuple) P(image_colors, list))                                              \
    X(analyze_color_similarity, analyze_color_similarity, method, any,                           \
      "Analyze how much each target color appears in the image.\n"                               \
      "\n"                                                                                       \
      "Args:\n"                                                                                  \
      "    image: Path to image file or numpy array\n"                                           \
      "    target_colors: Dictionary of color names and RGB values\n"                            \
      "                  e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"                 \
      "    mask: Optional mask image\n"                                                          \
      "    similarity_threshold: Maximum LAB distance to consider colors similar\n"              \
      "\n"                                                                                       \
      "Returns:\n"                                                                               \
      "    Dictionary with color analysis results\n",                                            \
      P(image, object) P(target_colors, dict) D(mask, object, "None")                            \
          D(similarity_threshold, number, "50.0"))                                               \
    X(find_color_matches, find_color_matches, method, any,                                       \
      "Find how much each target color appears in the image with detailed analysis.\n"           \
      "\n"                                                                                       \
      "Args:\n"                                                                                  \
      "    image: Path to image file or numpy array\n"                                           \
      "    target_colors: Dictionary of color names and RGB values\n"                            \
      "    mask: Optional mask image\n"                                                          \
      "\n"                                                                                       \
      "Returns:\n"                                                                               \
      "    Dictionary with detailed color matching results\n",                                   \
      P(image, object) P(target_colors, dict) D(mask, object, "None"))

namespace huesift {

// The methods by their rows, for the class's own calls: call_step<method::_apply_mask>(...).
enum class method {
#define HUESIFT_METHOD_NAME(name, impl, how, result, doc, params) name,
#define HUESIFT_NO_PARAM(...)
    HUESIFT_METHODS(HUESIFT_METHOD_NAME, HUESIFT_NO_PARAM, HUESIFT_NO_PARAM)
#undef HUESIFT_NO_PARAM
#undef HUESIFT_METHOD_NAME
};

// One call from Python: the object, the module state and which native paths the call may
// take. The class's own calls hand it on, so the decision is made once.
struct call_context {
    PyObject* self;
    module_state& st;
    native_gate gate;
};

// Each row's parameters, named after its implementation.
#define HUESIFT_PARAM_ROW(name, type) {#name, kind::type, nullptr},
#define HUESIFT_DEFAULT_ROW(name, type, default_text) {#name, kind::type, default_text},
#define HUESIFT_PARAMS_OF(name, impl, how, result, doc, params) \
    inline constexpr parameter impl##_params[] = {params};
HUESIFT_METHODS(HUESIFT_PARAMS_OF, HUESIFT_PARAM_ROW, HUESIFT_DEFAULT_ROW)
#undef HUESIFT_PARAMS_OF
#undef HUESIFT_DEFAULT_ROW
#undef HUESIFT_PARAM_ROW

// The implementations: each takes the call and its parameters' values, by their kinds.
#define HUESIFT_PARAM_DECL(name, type) , param_type<kind::type> name
#define HUESIFT_DEFAULT_DECL(name, type, default_text) , param_type<kind::type> name
#define HUESIFT_DECLARE_IMPL(name, impl, how, result, doc, params) \
    ref impl(call_context& ctx params);
HUESIFT_METHODS(HUESIFT_DECLARE_IMPL, HUESIFT_PARAM_DECL, HUESIFT_DEFAULT_DECL)
#undef HUESIFT_DECLARE_IMPL
#undef HUESIFT_DEFAULT_DECL
#undef HUESIFT_PARAM_DECL

// The rows' parameters, by method.
inline constexpr std::span<const parameter> method_params[] = {
#define HUESIFT_PARAMS_SPAN(name, impl, how, result, doc, params) impl##_params,
#define HUESIFT_NO_PARAM(...)
    HUESIFT_METHODS(HUESIFT_PARAMS_SPAN, HUESIFT_NO_PARAM, HUESIFT_NO_PARAM)
#undef HUESIFT_NO_PARAM
#undef HUESIFT_PARAMS_SPAN
};

// How many of a row's parameters come before its first default.
constexpr std::size_t required_params(std::span<const parameter> params) {
    std::size_t n = 0;
    while (n < params.size() && params[n].default_text == nullptr) {
        ++n;
    }
    return n;
}

namespace detail {
ref call_step(method which, call_context& ctx, std::span<PyObject* const> args);
}

// A method of the table as the class's own code calls it, as its row says: a subclass's
// override runs in place of the implementation and its result is checked, else the
// implementation runs with this call's decisions. A pair comes back as a tuple of two. The
// arguments are objects, as many as the row takes (its defaults may be left out), which the
// compiler checks.
template <method M, class... Args>
ref call_step(call_context& ctx, Args... args) {
    constexpr std::span<const parameter> params = method_params[static_cast<std::size_t>(M)];
    static_assert((std::is_same_v<Args, PyObject*> && ...), "call_step takes objects");
    static_assert(sizeof...(Args) >= required_params(params) && sizeof...(Args) <= params.size(),
                  "call_step: the method's row takes another number of arguments");
    const std::array<PyObject*, sizeof...(Args)> given{args...};
    return detail::call_step(M, ctx, given);
}

// The table's methods for the type, in the table's order, each with its text signature.
const std::vector<PyMethodDef>& table_methods();

}  // namespace huesift
