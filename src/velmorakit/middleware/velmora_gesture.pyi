import logging as logging
import time as time
from multiprocessing import Event as Event
from multiprocessing import Process as Process
from multiprocessing import get_context as get_context
from multiprocessing import log_to_stderr as log_to_stderr
from multiprocessing import queues as queues
from multiprocessing.connection import _ConnectionBase as _ConnectionBase
from multiprocessing.synchronize import Event as EventType
from queue import Empty as Empty
from queue import Full as Full
from typing import Any, ClassVar, Protocol, SupportsInt

from ..models.gesture import Gesture as Gesture
from ..models.gesture import GestureConfig as GestureConfig
from .utilities import VelmoraComputing as VelmoraComputing

class _HasLevel(Protocol):
    level: int

class VelmoraQueue(queues.Queue[Any]):
    def __init__(self, maxsize: SupportsInt = 0) -> None: ...
    def put(self, obj: Any, block: bool = True, timeout: float | None = None) -> None: ...

class VGesture(Process):
    TSAMPLE_MARGIN_SEC: ClassVar[int]

    stop_event: EventType
    logger: logging.Logger
    gesture_model: GestureConfig
    sensor_pipe: _ConnectionBase
    data_queue: VelmoraQueue
    timer: float

    def __init__(
        self,
        gesture_model: GestureConfig,
        sensor_pipe: _ConnectionBase,
        data_queue: VelmoraQueue,
        logger_level: SupportsInt,
    ) -> None: ...
    def run(self) -> None: ...
    def stop(self, timeout: float = 2.0) -> None: ...

class VelmoraGesture:
    gesture_model: GestureConfig
    sensor_pipe: _ConnectionBase
    data_queue: VelmoraQueue
    process: VGesture

    def __init__(
        self, gesture_model: GestureConfig, sensor_pipe: _ConnectionBase, logger: _HasLevel
    ) -> None: ...
    def start(self) -> None: ...
    def terminate(self) -> None: ...
    def gesture(self) -> Gesture | None: ...
