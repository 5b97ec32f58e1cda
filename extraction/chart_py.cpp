// visualize_colors: the colour records as one stacked horizontal bar, through pyplot.
#include "module/methods.hpp"

namespace huesift {

namespace {

void draw_segment(PyObject* ax, PyObject* color_info, ref& start) {
    ref fill = steal(PyList_New(0));
    const ref info = borrow(color_info);
    const ref scale = from_double(255.0);
    for (const ref& component : info[from_str("color")]) {
        check(PyList_Append(fill.get(), (component / scale).get()));
    }
    ref percentage = info[from_str("percentage")];
    ref width = percentage / from_double(100.0);
    ref zero = from_long(0);
    call_kw(getattr(ax, "barh").get(), {zero.get(), width.get()},
            {{"left", start},
             {"height", from_double(0.8)},
             {"color", fill},
             {"edgecolor", from_str("white")},
             {"linewidth", from_long(1)}});
    const int wide = PyObject_RichCompareBool(width.get(), from_double(0.05).get(), Py_GT);
    check(wide);
    if (wide) {
        ref formatted = steal(PyObject_Format(percentage.get(), from_str(".1f").get()));
        ref label = steal(PyUnicode_Concat(formatted.get(), from_str("%").get()));
        ref half = width / from_long(2);
        ref x = start + half;
        ref center = from_str("center");
        call_kw(getattr(ax, "text").get(), {x.get(), zero.get(), label.get()},
                {{"ha", center}, {"va", center}, {"fontweight", from_str("bold")}});
    }
    start += width;
}

}  // namespace

ref visualize_colors(call_context& ctx, PyObject* colors, PyObject* save_path) {
    if (PyList_GET_SIZE(colors) == 0) {
        return none();
    }
    module_state& st = ctx.st;
    ref plt = global(st, st.n.plt);
    ref figsize = make_tuple({from_long(12).get(), from_long(2).get()});
    ref one = from_long(1);
    ref figure = call_kw(plt.attr("subplots"), {one.get(), one.get()}, {{"figsize", figsize}});
    ref ax = steal(PySequence_GetItem(figure.get(), 1));
    ref start = from_long(0);
    // Indexing re-reads the length, so a list changed while drawing is never overrun.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(colors); ++i) {
        ref color_info = borrow(PyList_GET_ITEM(colors, i));
        draw_segment(ax.get(), color_info.get(), start);
    }
    ax.attr("set_xlim")(from_long(0), from_long(1));
    ax.attr("set_ylim")(from_double(-0.5), from_double(0.5));
    ax.attr("set_xlabel")(from_str("Color Distribution"));
    ax.attr("set_title")(from_str("Extracted Colors with Percentages"));
    ax.attr("set_yticks")(steal(PyList_New(0)));
    plt.attr("tight_layout")();
    if (save_path != Py_None && PyUnicode_GET_LENGTH(save_path) > 0) {
        call_kw(plt.attr("savefig"), {save_path},
                {{"dpi", from_long(300)}, {"bbox_inches", from_str("tight")}});
    }
    plt.attr("show")();
    return none();
}

}  // namespace huesift
