"""MK27x laser distance sensors from Python (type stubs of the mk27x module)."""

from typing import Callable, Iterator, Mapping, NamedTuple, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

__version__: str

class Error(Exception):
    """Base of the module's errors; str() is the program's text."""

class PortError(Error):
    """The port cannot be opened, or the sensor was closed."""

class NoAnswer(Error):
    """The sensor did not answer, or did not answer as it should."""
    t: Optional[FloatArray]
    mm: Optional[FloatArray]
    t0: Optional[float]

class FileError(Error):
    """A file cannot be read or written, or is refused."""

class Identity(NamedTuple):
    """The sensor's identity."""
    model: int
    release: int
    serial: int
    base_mm: int
    range_mm: int

class Parameter(NamedTuple):
    """One of the 20 parameters: row, name, raw value and the grid's text."""
    index: int
    name: str
    value: int
    text: str

class Found(NamedTuple):
    """A sensor found by search()."""
    port: str
    baud: int
    address: int
    identity: Identity

class Difference(NamedTuple):
    """A parameter that differs after clone()."""
    index: int
    name: str
    file: int
    sensor: int

class Samples(NamedTuple):
    """Times in seconds since the first sample and distances in mm; t0 is the
    first sample's UNIX time in seconds (None without samples)."""
    t: FloatArray
    mm: FloatArray
    @property
    def t0(self) -> Optional[float]: ...

class StreamChunks(Iterator[Samples]):
    """Chunks (t, mm) of a running stream, as they come."""
    @property
    def dropped(self) -> int:
        """Samples dropped because more than max_pending were waiting."""
    @property
    def finished(self) -> bool:
        """True once the stream is stopped."""
    def __iter__(self) -> "StreamChunks": ...
    def __next__(self) -> Samples: ...
    def close(self) -> None:
        """Stops the stream; idempotent."""
    def __enter__(self) -> "StreamChunks": ...
    def __exit__(self, *args: object) -> None: ...

class Sensor:
    """One MK27x sensor on a port, connected at construction."""
    def __init__(self, port: str = "USB", baud: int = 115200, address: int = 1,
                 trace: Optional[str] = None) -> None: ...
    @staticmethod
    def simulator(*, pty: bool = True, baud: int = 115200, address: int = 1, model: int = 27,
                  release: int = 2, serial: int = 1234, base_mm: int = 100, range_mm: int = 50,
                  source: str = "constant", value: int = 8192, amplitude: int = 0,
                  period: int = 100, noise: int = 0, stream_rate: float = 2000.0,
                  silent_after: Optional[int] = None,
                  stream_stop_after: Optional[int] = None, trace: Optional[str] = None) -> "Sensor":
        """A connected Sensor on the program's virtual sensor, no hardware."""
    @property
    def identity(self) -> Identity: ...
    @property
    def port(self) -> str: ...
    @property
    def baud(self) -> int: ...
    @property
    def address(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def params(self) -> list[Parameter]:
        """The 20 parameters as last read."""
    def set(self, entries: Mapping[Union[str, int], Union[str, int]]) -> None:
        """Checks every text as the grid does, then writes and reads back."""
    def measure(self, count: int = 1, dev: bool = False) -> FloatArray:
        """count measurements 50 ms apart, in mm."""
    def stream(self, seconds: float) -> Samples:
        """The stream for the given seconds: sample times (s), distances (mm), t0."""
    def stream_chunks(self, seconds: Optional[float] = None,
                      max_pending: int = 1000000) -> StreamChunks:
        """The stream in chunks as they come."""
    def teach(self) -> None: ...
    def flash(self) -> None: ...
    def restore(self) -> None: ...
    def upload(self, path: str,
               progress: Optional[Callable[[int, int], object]] = None) -> None:
        """Writes a calibration table into the sensor."""
    def backup(self, path: str) -> None:
        """Writes the parameters to a parameter file."""
    def clone(self, path: str) -> list[Difference]:
        """Writes a parameter file's set into the sensor; the parameters that differ."""
    def close(self) -> None:
        """Stops a stream and closes the port; idempotent."""
    def __enter__(self) -> "Sensor": ...
    def __exit__(self, *args: object) -> None: ...

def search(ports: Optional[Sequence[str]] = None, full: bool = False) -> list[Found]:
    """Looks for sensors on the ports (default COM1..COM4 and USB)."""
