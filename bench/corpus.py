"""The benchmark photos: ten from four sources, of different sizes and kinds (portraits,
landscapes, a flower, a cat, a dark sky, a render with flat colours). matplotlib's and
scikit-learn's ship with the dependencies; scikit-image's are bundled with that package,
which `make bench` installs."""

import os

import cv2


def _matplotlib(name):
    from matplotlib import cbook
    return str(cbook.get_sample_data(name, asfileobj=False))


def _sklearn(name):
    import sklearn.datasets
    return os.path.join(os.path.dirname(sklearn.datasets.__file__), "images", name)


def _skimage(name):
    import skimage.data
    return os.path.join(os.path.dirname(skimage.data.__file__), name)


PHOTOS = {
    "grace_hopper": lambda: _matplotlib("grace_hopper.jpg"),
    "blue_pack": lambda: _matplotlib("Minduka_Present_Blue_Pack.png"),
    "china": lambda: _sklearn("china.jpg"),
    "flower": lambda: _sklearn("flower.jpg"),
    "astronaut": lambda: _skimage("astronaut.png"),
    "coffee": lambda: _skimage("coffee.png"),
    "chelsea": lambda: _skimage("chelsea.png"),
    "rocket": lambda: _skimage("rocket.jpg"),
    "hubble": lambda: _skimage("hubble_deep_field.jpg"),
    "motorcycle": lambda: _skimage("motorcycle_left.png"),
}


def path(name):
    return PHOTOS[name]()


def photo(name, size=None):
    """The photo as OpenCV reads it, resized to (width, height) when asked."""
    image = cv2.imread(path(name))
    if image is None:
        raise FileNotFoundError(path(name))
    return image if size is None else cv2.resize(image, size)


def photo_folder(parent, copies, size=None):
    """A folder of `copies` files of each photo: the originals, or JPEGs resized to size."""
    import shutil
    folder = os.path.join(parent, "photos")
    os.mkdir(folder)
    for name in PHOTOS:
        if size is None:
            source = path(name)
            suffix = os.path.splitext(source)[1]
        else:
            source, suffix = os.path.join(parent, f"{name}.jpg"), ".jpg"
            cv2.imwrite(source, photo(name, size), [cv2.IMWRITE_JPEG_QUALITY, 95])
        for copy in range(copies):
            shutil.copy(source, os.path.join(folder, f"{name}_{copy}{suffix}"))
    return folder


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2
