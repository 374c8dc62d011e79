from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

class VelmoraComputing:
    DATA_MAT_COL: ClassVar[int]
    F_SAMP: ClassVar[int]
    NEW_DATA_INT_SEC: ClassVar[float]
    DATA_DIM: ClassVar[int]
    FILT_ACC: ClassVar[tuple[int, int]]
    FILT_VEL: ClassVar[tuple[int, int]]
    FILT_VELTOT: ClassVar[tuple[int, float]]
    MAX_TH: ClassVar[float]
    MAX_TIME_TH: ClassVar[int]
    LEFT_MAX_WIN: ClassVar[int]
    RIGHT_MAX_WIN: ClassVar[int]
    MIN_TH: ClassVar[int]
    LFT_MIN_WIN: ClassVar[int]
    DISP_DELAY: ClassVar[int]

    rec_gesture: str | None
    rec_gesture_prob: float
    confidence: float
    disp: float

    model: Any
    enc: Any
    time_duration: float
    data_counter: int
    last_max_time: float
    b_acc: npt.NDArray[np.float64]
    a_acc: npt.NDArray[np.float64]
    b_vel: npt.NDArray[np.float64]
    a_vel: npt.NDArray[np.float64]
    b_veltot: npt.NDArray[np.float64]
    a_veltot: npt.NDArray[np.float64]
    data_m: npt.NDArray[np.float64]
    acc_filt_m: npt.NDArray[np.float64]
    vel_filt_m: npt.NDArray[np.float64]
    veltot_filt_a: npt.NDArray[np.float64]
    time_a: npt.NDArray[np.float64]
    min_time_a: list[float]
    min_index_a: list[int]
    seg_time_a: npt.NDArray[np.float64]
    seg_acc_m: npt.NDArray[np.float64]
    seg_vel_m: npt.NDArray[np.float64]
    acc_int: npt.NDArray[np.float64]
    vel_int: npt.NDArray[np.float64]
    gest_ut: npt.NDArray[np.float64]
    pre_gest: npt.NDArray[np.float64]
    gesture: str

    def __init__(self, model_path: str, encoder_path: str) -> None: ...
    @staticmethod
    def _design_filter(order: int, cutoff: float, f_nyq: float) -> Any: ...
    def data_init(self) -> None: ...
    def push_data(self, data: list[float]) -> None:
        """push new data into data matrix, push new data from the bottom"""
    def data_filter(self) -> None: ...
    def data_segmentation(self) -> bool:
        """segment veltot"""
    def data_interpolation(self) -> None:
        """data interpolation"""
    def run_nn(self) -> None:
        """run neural network"""
    def get_gesture(self) -> None:
        """search for gesture"""
    def get_displacement(self) -> None:
        """estimate displacement"""
    @staticmethod
    def calc_displacement(acc_a: Any) -> float:
        """calc displacement"""
    def run(self) -> tuple[str, float, float, float] | tuple[None, float, float, float]:
        """run neural netwrok"""
