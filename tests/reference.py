"""NumPy/SciPy model of the computing engine and the dataset shaper, and of the velocity estimate.

`ReferenceComputing` and `ReferenceShaper` follow the extension classes statement by statement,
with the same library calls in the same order, so that their numbers can be compared bit for bit
with the extensions' and their run time serves as the benchmark baseline. Nothing is guarded that
the extensions do not guard either: on valid input both give the same values, and only error cases
may fail differently.
"""

import pickle
from typing import Any

import numpy as np
from scipy import interpolate, signal

_TYPE_ERROR = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _int_argument(value, name):
    """An int as it is; any other number truncated toward zero; anything else a TypeError."""
    if type(value) is int:
        return value
    if not hasattr(type(value), "__int__"):
        raise TypeError(_TYPE_ERROR % (name, "int", type(value).__name__))
    return int(value)


class ReferenceComputing:
    DATA_MAT_COL = 7
    F_SAMP = 50
    NEW_DATA_INT_SEC = 0.02
    DATA_DIM = 100
    FILT_ACC = (5, 4)
    FILT_VEL = (5, 5)
    FILT_VELTOT = (1, 1.3)
    MAX_TH = 0.4
    MAX_TIME_TH = 1
    LEFT_MAX_WIN = 50
    RIGHT_MAX_WIN = 5
    MIN_TH = 3
    LFT_MIN_WIN = 0
    DISP_DELAY = 8

    rec_gesture: str | None = None
    rec_gesture_prob: float = 0
    confidence: float = 0
    disp: float = 0

    def __init__(self, model_path: str, encoder_path: str):
        for name, value in (("model_path", model_path), ("encoder_path", encoder_path)):
            if type(value) is not str:
                raise TypeError(_TYPE_ERROR % (name, "str", type(value).__name__))
        with open(model_path, "rb") as file:
            self.model = pickle.load(file)
        with open(encoder_path, "rb") as file:
            self.enc = pickle.load(file)
        self.time_duration = 0
        self.data_counter = 0
        self.last_max_time = 0
        F_NYQ = ReferenceComputing.F_SAMP / 2
        self.b_acc, self.a_acc = self._design_filter(self.FILT_ACC[0], self.FILT_ACC[1], F_NYQ)
        self.b_vel, self.a_vel = self._design_filter(self.FILT_VEL[0], self.FILT_VEL[1], F_NYQ)
        self.b_veltot, self.a_veltot = self._design_filter(
            self.FILT_VELTOT[0], self.FILT_VELTOT[1], F_NYQ
        )
        self.data_init()

    @staticmethod
    def _design_filter(order: int, cutoff: float, f_nyq: float) -> Any:
        order = _int_argument(order, "order")
        return signal.butter(order, float(cutoff) / float(f_nyq), "lowpass")

    def data_init(self):
        self.data_m = np.zeros(
            shape=(ReferenceComputing.DATA_DIM, ReferenceComputing.DATA_MAT_COL), dtype=float
        )
        self.acc_filt_m = np.zeros(shape=(ReferenceComputing.DATA_DIM, 3), dtype=float)
        self.vel_filt_m = np.zeros(shape=(ReferenceComputing.DATA_DIM, 3), dtype=float)
        self.veltot_filt_a = np.zeros(shape=(ReferenceComputing.DATA_DIM,), dtype=float)
        self.time_a = np.zeros(shape=(ReferenceComputing.DATA_DIM,), dtype=float)

    def push_data(self, data):
        """push new data into data matrix, push new data from the bottom"""
        self.data_counter += 1
        data.append(self.data_counter * ReferenceComputing.NEW_DATA_INT_SEC)
        self.data_m[:-1] = self.data_m[1:]
        self.data_m[-1] = data

    def data_filter(self):
        self.acc_filt_m = signal.lfilter(self.b_acc, self.a_acc, self.data_m[:, 0:3], axis=0)
        self.vel_filt_m = signal.lfilter(self.b_vel, self.a_vel, self.data_m[:, 3:6], axis=0)
        veltot = np.sqrt(np.power(self.data_m[:, 3:6], 2).sum(axis=1))
        self.veltot_filt_a = signal.lfilter(self.b_veltot, self.a_veltot, veltot)
        # A view of the time column: time_a, and seg_time_a cut from it, follow later pushes.
        self.time_a = self.data_m[:, 6]

    def data_segmentation(self):
        """segment veltot"""
        MAX_SEG_WINDOW = [
            ReferenceComputing.DATA_DIM - ReferenceComputing.LEFT_MAX_WIN,
            ReferenceComputing.DATA_DIM - ReferenceComputing.RIGHT_MAX_WIN,
        ]
        search = self.veltot_filt_a[MAX_SEG_WINDOW[0] : MAX_SEG_WINDOW[1]]
        max = np.amax(search)
        max_ind = MAX_SEG_WINDOW[0] + np.where(search == max)[0][0]
        max_time = self.time_a[max_ind]
        if not (
            max > ReferenceComputing.MAX_TH
            and (max_time - self.last_max_time) > ReferenceComputing.MAX_TIME_TH
        ):
            return False
        for i in range(max_ind, ReferenceComputing.DATA_DIM):
            if self.veltot_filt_a[i] < max / ReferenceComputing.MIN_TH:
                right_min_time = self.time_a[i]
                right_min_ind = i
                break
        else:
            return False
        for i in range(max_ind, ReferenceComputing.LFT_MIN_WIN, -1):
            if self.veltot_filt_a[i] < max / ReferenceComputing.MIN_TH:
                left_min_time = self.time_a[i]
                left_min_ind = i
                break
        else:
            return False
        self.last_max_time = max_time
        self.min_time_a = [left_min_time, right_min_time]
        self.min_index_a = [left_min_ind, right_min_ind]
        self.time_duration = round(self.min_time_a[1] - self.min_time_a[0], 3)
        self.seg_time_a = self.time_a[left_min_ind : right_min_ind + 1].T
        self.seg_acc_m = self.acc_filt_m[left_min_ind : right_min_ind + 1, :]
        self.seg_vel_m = self.vel_filt_m[left_min_ind : right_min_ind + 1, :]
        return True

    def data_interpolation(self):
        """data interpolation"""
        INT_SAM = 50
        temp_norm = np.linspace(self.min_time_a[0], self.min_time_a[1], INT_SAM)
        f_int_acc = interpolate.interp1d(self.seg_time_a, self.seg_acc_m, axis=0)
        self.acc_int = f_int_acc(temp_norm)
        f_int_vel = interpolate.interp1d(self.seg_time_a, self.seg_vel_m, axis=0)
        self.vel_int = f_int_vel(temp_norm)
        acc_int_x = self.acc_int[:, 0].T
        acc_int_y = self.acc_int[:, 1].T
        acc_int_z = self.acc_int[:, 2].T
        vel_int_x = self.vel_int[:, 0].T
        vel_int_y = self.vel_int[:, 1].T
        vel_int_z = self.vel_int[:, 2].T
        self.gest_ut = np.concatenate(
            (acc_int_x, acc_int_y, acc_int_z, vel_int_x, vel_int_y, vel_int_z)
        )

    def run_nn(self):
        """run neural network"""
        self.pre_gest = self.model.predict_proba([self.gest_ut])

    def get_gesture(self):
        """search for gesture"""
        if self.model.classes_.size > 1:
            gesture_array = np.zeros_like(self.pre_gest)
            gesture_array[:, self.pre_gest.argmax()] = 1
            gesture = self.enc.inverse_transform(gesture_array)
            gest_max = np.amax(self.pre_gest)
            self.gesture = np.array_str(gesture)
            sec_gest_max = np.amax(np.delete(self.pre_gest, self.pre_gest.argmax()))
        else:
            gesture_array = np.ones_like([[0]])
            gesture = self.enc.inverse_transform(gesture_array)
            self.gesture = np.array_str(gesture)
            if self.pre_gest.argmax() == 0:
                gest_max = self.pre_gest[0][0]
                sec_gest_max = self.pre_gest[0][1]
            else:
                gest_max = 0
                sec_gest_max = 0.1
        self.rec_gesture_prob = gest_max
        self.confidence = int(gest_max / sec_gest_max)
        self.rec_gesture = gesture[0][0]

    def get_displacement(self):
        """estimate displacement"""
        start = abs(self.min_index_a[0] - ReferenceComputing.DISP_DELAY)
        end = abs(self.min_index_a[1] - ReferenceComputing.DISP_DELAY)
        disp_acc_m = self.data_m[start:end, 0:3]
        mean_a = np.mean(disp_acc_m, axis=0)
        disp_acc_m = disp_acc_m - mean_a
        if self.gesture.split("'")[1] == "right":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 0])
        elif self.gesture.split("'")[1] == "left":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 0])
        elif self.gesture.split("'")[1] == "forward":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 1])
        elif self.gesture.split("'")[1] == "backward":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 1])
        elif self.gesture.split("'")[1] == "up":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 2])
        elif self.gesture.split("'")[1] == "down":
            self.disp = ReferenceComputing.calc_displacement(disp_acc_m[:, 2])
        else:
            self.disp = 0

    @staticmethod
    def calc_displacement(acc_a) -> float:
        """calc displacement"""
        vel_a = [0]
        disp = 0
        for i in range(len(acc_a) - 1):
            vel = vel_a[i] + ((acc_a[i] + acc_a[i + 1]) * ReferenceComputing.NEW_DATA_INT_SEC) / 2
            vel_a.append(vel)
        for i in range(len(vel_a) - 1):
            disp = disp + ((vel_a[i] + vel_a[i + 1]) * ReferenceComputing.NEW_DATA_INT_SEC) / 2
        return round(disp, 3)

    def run(self) -> tuple[str, float, float, float] | tuple[None, float, float, float]:
        """run neural netwrok"""
        self.rec_gesture = None
        self.confidence = 0
        self.rec_gesture_prob = 0
        self.disp = 0
        self.data_filter()
        result = self.data_segmentation()
        if result:
            self.data_interpolation()
            self.run_nn()
            self.get_gesture()
            self.get_displacement()
        return (self.rec_gesture, self.rec_gesture_prob, self.confidence, self.disp)


class ReferenceShaper:
    DATA_MAT_COL = 7
    F_SAMP = 50
    NEW_DATA_INT_SEC = 1 / F_SAMP
    DATA_DIM = 100
    FILT_ACC = [5, 4]
    FILT_VEL = [5, 5]
    FILT_VELTOT = [1, 1.3]
    MAX_TH = 0.4
    MAX_TIME_TH = 1
    LEFT_MAX_WIN = 50
    RIGHT_MAX_WIN = 5
    MIN_TH = 3
    LFT_MIN_WIN = 0
    DISP_DELAY = 8

    def __init__(self):
        self.data_counter = 0
        self.last_max_time = 0
        F_NYQ = ReferenceShaper.F_SAMP / 2
        self.b_acc, self.a_acc = self._design_filter(self.FILT_ACC[0], self.FILT_ACC[1], F_NYQ)
        self.b_vel, self.a_vel = self._design_filter(self.FILT_VEL[0], self.FILT_VEL[1], F_NYQ)
        self.b_veltot, self.a_veltot = self._design_filter(
            self.FILT_VELTOT[0], self.FILT_VELTOT[1], F_NYQ
        )
        self.data_m = np.zeros(
            shape=(ReferenceShaper.DATA_DIM, ReferenceShaper.DATA_MAT_COL), dtype=float
        )
        self.acc_filt_m = np.zeros(shape=(ReferenceShaper.DATA_DIM, 3), dtype=float)
        self.vel_filt_m = np.zeros(shape=(ReferenceShaper.DATA_DIM, 3), dtype=float)
        self.veltot_filt_a = np.zeros(shape=(ReferenceShaper.DATA_DIM,), dtype=float)
        self.time_a = np.zeros(shape=(ReferenceShaper.DATA_DIM,), dtype=float)
        self.left = 0
        self.right = 98

    # Filter design and filtering read no class constant: the engine's code serves as it is.
    _design_filter = staticmethod(ReferenceComputing._design_filter)
    data_filter = ReferenceComputing.data_filter

    def push_data(self, data):
        """push new data into data matrix, push new data from the bottom"""
        self.data_counter += 1
        data = np.append(data, self.data_counter * ReferenceShaper.NEW_DATA_INT_SEC)
        self.data_m[:-1] = self.data_m[1:]
        self.data_m[-1] = data

    def data_segmentation(self):
        """segment veltot"""
        MAX_SEG_WINDOW = [
            ReferenceShaper.DATA_DIM - ReferenceShaper.LEFT_MAX_WIN,
            ReferenceShaper.DATA_DIM - ReferenceShaper.RIGHT_MAX_WIN,
        ]
        search = self.veltot_filt_a[MAX_SEG_WINDOW[0] : MAX_SEG_WINDOW[1]]
        max = np.amax(search)
        max_ind = MAX_SEG_WINDOW[0] + np.where(search == max)[0][0]
        max_time = self.time_a[max_ind]
        if not (
            max > ReferenceShaper.MAX_TH
            and (max_time - self.last_max_time) > ReferenceShaper.MAX_TIME_TH
        ):
            return False
        for i in range(max_ind, ReferenceShaper.DATA_DIM):
            if self.veltot_filt_a[i] < max / ReferenceShaper.MIN_TH:
                right_min_time = self.time_a[i]
                right_min_ind = i
                break
        else:
            return False
        for i in range(max_ind, ReferenceShaper.LFT_MIN_WIN, -1):
            if self.veltot_filt_a[i] < max / ReferenceShaper.MIN_TH:
                left_min_time = self.time_a[i]
                left_min_ind = i
                break
        else:
            return False
        self.last_max_time = max_time
        self.min_time_a = [left_min_time, right_min_time]
        self.min_index_a = [left_min_ind, right_min_ind]
        self.seg_time_a = self.time_a[left_min_ind : right_min_ind + 1].T
        self.seg_acc_m = self.acc_filt_m[left_min_ind : right_min_ind + 1, :]
        self.seg_vel_m = self.vel_filt_m[left_min_ind : right_min_ind + 1, :]
        self.left = left_min_ind
        self.right = right_min_ind
        return True

    def data_interpolation(self):
        """data interpolation"""
        INT_SAM = 50
        temp_norm = np.linspace(self.min_time_a[0], self.min_time_a[1], INT_SAM)
        f_int_acc = interpolate.interp1d(self.seg_time_a, self.seg_acc_m, axis=0)
        self.acc_int = f_int_acc(temp_norm)
        f_int_vel = interpolate.interp1d(self.seg_time_a, self.seg_vel_m, axis=0)
        self.vel_int = f_int_vel(temp_norm)
        acc_int_x = self.acc_int[:, 0].T
        acc_int_y = self.acc_int[:, 1].T
        acc_int_z = self.acc_int[:, 2].T
        vel_int_x = self.vel_int[:, 0].T
        vel_int_y = self.vel_int[:, 1].T
        vel_int_z = self.vel_int[:, 2].T
        return np.concatenate(
            ([1.0], acc_int_x, acc_int_y, acc_int_z, vel_int_x, vel_int_y, vel_int_z)
        )

    def run(self):
        """run neural netwrok"""
        self.data_filter()
        result = self.data_segmentation()
        if result:
            data_set = self.data_interpolation()
            return data_set
        return False


def reference_extract_segments(samples, step=1):
    """Cut an N x 6 recording into segment vectors with a fresh `ReferenceShaper`.

    Every row is pushed in order and `run` is called after every `step`-th push. Returns
    `(vectors, bounds)`: a (k, 301) array of segment vectors and a (k, 2) int64 array with each
    segment's start and end as row indices of the recording (negative for one of the zero rows
    that precede the first sample in the window).
    """
    shaper = ReferenceShaper()
    vectors, bounds = [], []
    for count, row in enumerate(np.asarray(samples, dtype=float), start=1):
        shaper.push_data(row)
        if count % step:
            continue
        vector = shaper.run()
        if isinstance(vector, np.ndarray):
            # After `count` pushes, window row r holds recording row count - DATA_DIM + r.
            first = count - ReferenceShaper.DATA_DIM
            vectors.append(vector)
            bounds.append((first + shaper.left, first + shaper.right))
    return (
        np.array(vectors, dtype=float).reshape(-1, 301),
        np.array(bounds, dtype=np.int64).reshape(-1, 2),
    )


# The names of the tuning constants, as both classes define them.
TUNING_CONSTANTS = tuple(name for name in vars(ReferenceComputing) if name.isupper())


def reference_velocity(
    acc,
    rate_hz=50.0,
    rest_std=0.5,
    hold_s=0.1,
    leak_s=2.0,
    track_s=0.3,
    window_s=0.2,
    stop_s=0.1,
    decay_s=0.05,
    bias_s=0.2,
    gravity_present=9.80665 / 2,
    stop_length=0.6,
    stop_share=0.7,
    turn_quiet_s=0.2,
    version=2,
):
    """Velocity from acceleration with zero-velocity updates, written out with NumPy.

    Rest: settled (the first window is still filling, or the variance over the last
    `window_s`, population variance summed over the axes, has been below rest_std² for more
    than `hold_s`) or stopped (over the last `stop_s` the variance is below rest_std² and the
    mean within rest_std of the bias). At rest the velocity decays (time constant decay_s)
    and the bias, starting at the first sample, follows the oldest of the rows found quiet
    (bias_s): the window when settled, the last `stop_s` when stopped; in motion the bias,
    when its length at rest exceeded `gravity_present`, turns towards each sample (track_s)
    at that length, and the velocity is the leaky (leak_s) trapezoidal integral of the
    acceleration less the bias, from the oldest of the rows last found quiet. After the first
    row of a motion (from `version` 2), while the last `stop_s` are quiet and their mean's
    length is within `stop_length` of the bias's, and either the speed is below `stop_share`
    of its peak since the motion began or that has held for more than `turn_quiet_s`, the
    velocity also decays as at rest.
    """
    dt = 1 / rate_hz
    size = max(2, round(window_s * rate_hz))
    stop = min(size, max(2, round(stop_s * rate_hz)))
    hold = round(hold_s * rate_hz)
    bias, velocity, previous = acc[0].copy(), np.zeros(3), np.zeros(3)
    gravity, quiet, resting, peak, level = 0.0, 0, True, 0.0, 0
    turn_quiet = round(turn_quiet_s * rate_hz)
    out = np.empty_like(acc)
    for i in range(len(acc)):
        window = acc[max(0, i - size + 1) : i + 1]
        quiet = quiet + 1 if window.var(axis=0).sum() < rest_std**2 else 0
        newest = window[-stop:]
        stopped = (
            newest.var(axis=0).sum() < rest_std**2
            and np.sum((newest.mean(axis=0) - bias) ** 2) < rest_std**2
        )
        settled = i < size - 1 or quiet > hold
        if settled or stopped:
            proven = len(window) if settled else stop
            bias += -np.expm1(-dt / bias_s) * (window[-proven] - bias)
            gravity = np.linalg.norm(bias) if np.linalg.norm(bias) > gravity_present else 0.0
            velocity = velocity * np.exp(-dt / decay_s)
            previous = np.zeros(3)
            resting, peak, level = True, 0.0, 0
            out[i] = velocity
            continue
        began = resting
        for row in window[-proven:] if resting else acc[i : i + 1]:
            if gravity:
                bias += -np.expm1(-dt / track_s) * (row - bias)
                bias *= gravity / np.linalg.norm(bias)
            free = row - bias
            velocity = np.exp(-dt / leak_s) * velocity + dt / 2 * (free + previous)
            previous = free
        resting = False
        if not began:
            speed = np.linalg.norm(velocity)
            peak = max(peak, speed)
            level = (
                level + 1
                if (
                    gravity
                    and newest.var(axis=0).sum() < rest_std**2
                    and abs(np.linalg.norm(newest.mean(axis=0)) - gravity) < stop_length
                )
                else 0
            )
            if version > 1 and level and (speed < stop_share * peak or level > turn_quiet):
                velocity = velocity * np.exp(-dt / decay_s)
        out[i] = velocity
    return out
