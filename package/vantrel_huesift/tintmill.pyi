"""Type stubs for the vantrel_huesift.tintmill extension module (full build profile).

The CPU-only profile has neither `warnings`, `cp`, `KMeansGPU`, `DBSCANGPU`,
`GPU_AVAILABLE` and `get_compute_device`, nor the constructor's `use_gpu` parameter.
"""

import types
from typing import Any, Dict, List, Optional, Tuple, TypedDict, Union

import numpy as np

class ColorRecord(TypedDict):
    color: Tuple[int, int, int]
    percentage: float

class SimilarityRecord(TypedDict):
    percentage: float
    similarity: float
    closest_color: Tuple[int, int, int]
    distance: float
    found_directly: bool

class MatchRecord(TypedDict):
    total_percentage: float
    close_percentage: float
    very_close_percentage: float
    closest_pixel: Tuple[int, int, int]
    min_distance: float
    similarity_score: float

ImageInput = Union[str, np.ndarray]
MaskInput = Union[str, np.ndarray, None]

class ColorExtractor:
    def __init__(
        self,
        n_colors: int = 5,
        algorithm: Optional[str] = "kmeans",
        preprocessing: object = True,
        lab_space: object = True,
        use_gpu: Optional[str] = "auto",
    ) -> None: ...
    def _preprocess_image(self, image: Optional[np.ndarray]) -> Optional[np.ndarray]: ...
    def _convert_to_feature_space(self, image: Optional[np.ndarray]) -> np.ndarray: ...
    def _apply_mask(
        self, image: Optional[np.ndarray], mask: Optional[np.ndarray]
    ) -> Optional[np.ndarray]: ...
    def _extract_pixels(
        self, image: Optional[np.ndarray], mask: Optional[np.ndarray] = None
    ) -> np.ndarray: ...
    def _cluster_colors_kmeans(
        self, pixels: Optional[np.ndarray]
    ) -> Tuple[np.ndarray, np.ndarray]: ...
    def _cluster_colors_dbscan(
        self, pixels: Optional[np.ndarray]
    ) -> Tuple[np.ndarray, np.ndarray]: ...
    def _calculate_percentages(self, labels: Optional[np.ndarray]) -> List[float]: ...
    def extract_colors(self, image: ImageInput, mask: MaskInput = None) -> List[ColorRecord]: ...
    def visualize_colors(self, colors: List[ColorRecord], save_path: Optional[str] = None) -> None: ...
    def _color_distance_lab(
        self, color1: Optional[np.ndarray], color2: Optional[np.ndarray]
    ) -> float: ...
    def _find_closest_color(
        self, target_color: Tuple[int, int, int], image_colors: List[ColorRecord]
    ) -> Tuple[Optional[ColorRecord], float]: ...
    def analyze_color_similarity(
        self,
        image: ImageInput,
        target_colors: Dict[str, Tuple[int, int, int]],
        mask: MaskInput = None,
        similarity_threshold: float = 50.0,
    ) -> Dict[str, SimilarityRecord]: ...
    def find_color_matches(
        self,
        image: ImageInput,
        target_colors: Dict[str, Any],
        mask: MaskInput = None,
    ) -> Dict[str, MatchRecord]: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    def __setstate__(self, state: Optional[tuple]) -> None: ...

def get_compute_device(mode: object) -> str: ...
def __pyx_unpickle_ColorExtractor(
    __pyx_type: type, __pyx_checksum: int, __pyx_state: Optional[tuple]
) -> ColorExtractor: ...

GPU_AVAILABLE: bool
MASK_THRESHOLD: int  # a mask pixel selects its pixel when its value is greater
DISTANCE_BANDS: Tuple[int, int, int]  # very close, close, somewhat close: distance below each
STATE_FIELDS: Tuple[str, ...]  # the saved state's fields, in the order of its entries
SKLEARN_RELEASES: Tuple[str, ...]  # scikit-learn releases the native k-means follows; others run its own
np: types.ModuleType
cv2: types.ModuleType
plt: types.ModuleType
warnings: types.ModuleType
cp: Optional[types.ModuleType]
KMeans: type
DBSCAN: type
StandardScaler: type
KMeansGPU: Optional[type]
DBSCANGPU: Optional[type]
Image: types.ModuleType
euclidean_distances: Any
List: Any
Tuple: Any
Optional: Any
Union: Any
Dict: Any
