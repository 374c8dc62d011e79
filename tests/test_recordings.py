"""CSV recordings and ground truth: round trips and the errors a user can make."""

import io
import math
import stat

import numpy as np
import pytest

from velmorakit.workbench.errors import WorkbenchError
from velmorakit.workbench.recordings.recording import (
    events_from_labels,
    load_events,
    read_recording,
    read_truth,
    recording_paths,
    truth_path,
    write_recording,
    write_truth,
    write_with_truth,
)
from velmorakit.workbench.simulation.synthetic import simulate_session


def test_recording_and_truth_round_trip(tmp_path):
    session = simulate_session(12, seed=4)
    path = tmp_path / "walk.csv"
    write_recording(path, session.samples, session.labels)
    write_truth(truth_path(path), session.events)
    recording = read_recording(path)
    np.testing.assert_allclose(recording.samples, session.samples, atol=5e-6)
    assert recording.labels.tolist() == session.labels.tolist()
    assert truth_path(path).name == "walk.truth.csv"
    assert read_truth(truth_path(path)) == session.events
    assert load_events(path, recording) == session.events


def test_columns_are_found_by_name_and_the_label_is_optional(tmp_path):
    path = tmp_path / "r.csv"
    path.write_text("vz,vy,vx,az,ay,AX\n6,5,4,3,2,1\n")
    recording = read_recording(path)
    assert recording.samples.tolist() == [[1, 2, 3, 4, 5, 6]]
    assert recording.labels.tolist() == [""]


@pytest.mark.parametrize(
    "text, message",
    [
        ("ax,ay,az,vx,vy\n1,2,3,4,5\n", "missing column(s) vz"),
        ("ax,ay,az,vx,vy,vz\n1,2,3,4,5,x\n", ":2: expected six numbers"),
        ("ax,ay,az,vx,vy,vz\n1,2,3,4,5\n", ":2: expected six numbers"),
        (
            "t,ax,ay,az,vx,vy,vz\n0,1,2,3,4,5,6\n10,1,2,3,4,5,6\n20,1,2,3,4,5,6\n",
            "10 apart, that is 0.1 Hz or 100 Hz, not 50 Hz",
        ),
        ("ax,ay,az,vx,vy,vz\n", "no samples"),
        ("", "missing column(s)"),
    ],
)
def test_malformed_recordings_name_the_problem(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(WorkbenchError, match="bad.csv") as err:
        read_recording(path)
    assert message in str(err.value)


SIX = "1.5,2,3,4,5,6"


def _npz_bytes() -> bytes:
    buffer = io.BytesIO()
    np.savez(buffer, features=np.zeros((2, 300)))
    return buffer.getvalue()


@pytest.mark.parametrize(
    "data",
    [
        ("\ufeffax,ay,az,vx,vy,vz,label\n" + SIX + ",up\n").encode("utf-8"),
        ("ax;ay;az;vx;vy;vz;label\n" + SIX.replace(",", ";") + ";up\n").encode(),
        b"ax;ay;az;vx;vy;vz;label\n1,5;2;3;4;5;6;up\n",  # decimal comma
        ("ax\tay\taz\tvx\tvy\tvz\tlabel\r\n" + SIX.replace(",", "\t") + "\tup\r\n").encode(),
        ("ax,ay,az,vx,vy,vz,label\n" + SIX + ",up\n").encode("latin-1"),
        ("time_ms,ax,ay,az,vx,vy,vz,label\n0," + SIX + ",up\n20," + SIX + ",up\n").encode(),
    ],
    ids=["utf8-bom", "semicolon", "decimal-comma", "tab-crlf", "latin-1", "50hz-time-column"],
)
def test_recordings_as_spreadsheets_and_sensors_write_them_are_read(tmp_path, data):
    path = tmp_path / "r.csv"
    path.write_bytes(data)
    recording = read_recording(path)
    assert recording.samples[0].tolist() == [1.5, 2, 3, 4, 5, 6]
    assert recording.labels[0] == "up"


@pytest.mark.parametrize(
    "data, message",
    [
        (_npz_bytes(), "zip archive"),
        (b"\x93NUMPY\x01\x00v\x00{'descr'", "NumPy array file"),
        ("ax,ay,az,vx,vy,vz\n1,2,3,4,5,6\n".encode("utf-16"), "UTF-16"),
        (bytes(range(256)) * 4, "binary data"),
        (b"ax,ay,az,vx,vy,vz\n\x81\x8d\x90,2,3,4,5,6\n", "not text in UTF-8 or Latin-1"),
    ],
)
def test_files_that_are_not_csv_text_are_refused_in_one_line(tmp_path, data, message):
    path = tmp_path / "x.csv"
    path.write_bytes(data)
    with pytest.raises(WorkbenchError, match=message) as err:
        read_recording(path)
    assert "\n" not in str(err.value) and "x.csv" in str(err.value)


def test_rows_with_nan_are_kept_and_counted(tmp_path, caplog):
    path = tmp_path / "gaps.csv"
    path.write_text("ax,ay,az,vx,vy,vz\n1,2,3,4,5,6\n1,2,nan,4,5,6\n1,2,3,4,inf,6\n1,2,3,4,5,6\n")
    recording = read_recording(path)
    assert len(recording.samples) == 4 and recording.nonfinite_rows == 2
    assert np.isnan(recording.samples[1, 2]) and "2 row(s) hold NaN" in caplog.text


def test_missing_files_are_reported_by_name(tmp_path):
    with pytest.raises(WorkbenchError, match="nowhere.csv: no such file"):
        read_recording(tmp_path / "nowhere.csv")


def test_events_from_labels_are_the_runs_of_equal_labels():
    labels = np.array(["", "up", "up", "left", "", "", "up", "up"], dtype=object)
    events = events_from_labels(labels)
    assert [(e.start, e.end, e.label) for e in events] == [
        (1, 3, "up"),
        (3, 4, "left"),
        (6, 8, "up"),
    ]
    assert all(math.isnan(e.distance) for e in events)


def test_globbed_truth_files_are_not_taken_for_recordings():
    assert recording_paths(["a.csv", "a.truth.csv", "b.csv"]) == ["a.csv", "b.csv"]
    with pytest.raises(WorkbenchError):
        recording_paths(["a.truth.csv"])


def test_recordings_are_replaced_whole_or_not_at_all(tmp_path):
    old, new = simulate_session(8, seed=1), simulate_session(12, seed=2)
    real = tmp_path / "real.csv"
    write_with_truth(real, old.samples, old.labels, old.events)
    real.chmod(0o640)
    link = tmp_path / "walk.csv"
    link.symlink_to(real)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    with pytest.raises(ValueError):  # rows and labels that do not pair up, found midway
        write_with_truth(real, new.samples, new.labels[:100], new.events)
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before  # no partial files

    write_recording(link, new.samples, new.labels)
    assert link.is_symlink() and len(read_recording(real).samples) == len(new.samples)
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    # Without events, the truth of an earlier recording of that name goes with it.
    write_with_truth(real, new.samples, new.labels, None)
    assert not truth_path(real).exists()
