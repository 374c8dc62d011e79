from typing import Any, ClassVar, Literal

import numpy as np
import numpy.typing as npt

class DatasetShaper:
    DATA_MAT_COL: ClassVar[int]
    F_SAMP: ClassVar[int]
    NEW_DATA_INT_SEC: ClassVar[float]
    DATA_DIM: ClassVar[int]
    FILT_ACC: ClassVar[list[int]]
    FILT_VEL: ClassVar[list[int]]
    FILT_VELTOT: ClassVar[list[float]]
    MAX_TH: ClassVar[float]
    MAX_TIME_TH: ClassVar[int]
    LEFT_MAX_WIN: ClassVar[int]
    RIGHT_MAX_WIN: ClassVar[int]
    MIN_TH: ClassVar[int]
    LFT_MIN_WIN: ClassVar[int]
    DISP_DELAY: ClassVar[int]

    data_counter: int
    last_max_time: float
    data_m: npt.NDArray[np.float64]
    left: int
    right: int
    min_index_a: list[int]
    min_time_a: list[float]

    def __init__(self): ...
    @staticmethod
    def _design_filter(order: int, cutoff: float, f_nyq: float) -> Any: ...
    def push_data(self, data): ...
    def data_filter(self): ...
    def data_segmentation(self): ...
    def data_interpolation(self): ...
    def run(self) -> npt.NDArray[np.float64] | Literal[False]: ...

def extract_segments(
    samples: npt.ArrayLike, step: int = 1
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
