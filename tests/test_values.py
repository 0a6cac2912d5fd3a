"""DetectorParameters and CharucoBoard travel to other processes: pickling and
copying give equal objects, equality compares every setting exactly, repr
says what differs from the defaults, and a state from another version of the
package is refused."""
import copy
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest

import markvane as mv


def odd_parameters():
    p = mv.DetectorParameters()
    p.corner_refinement_method = mv.CORNER_REFINE_APRILTAG
    p.min_side_length_canonical_img = 0
    p.adaptive_thresh_constant = math.nan
    p.april_tag_quad_sigma = -0.0
    p.detect_inverted_marker = True
    p.error_correction_rate = 0.1 + 0.2  # not a short decimal
    return p


BOARDS = [
    lambda: mv.CharucoBoard(7, 5, 0.04, 0.03, "5x5_100"),
    lambda: mv.CharucoBoard(4, 4, 0.1, 0.07, "DICT_4X4_50", ids=[9, 8, 7, 6, 5, 4, 3, 2], legacy_pattern=True),
]


@pytest.mark.parametrize("make", [mv.DetectorParameters, odd_parameters] + BOARDS)
def test_pickle_and_copy_give_equal_objects(make):
    original = make()
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(original, protocol)) == original
    for clone in (copy.copy(original), copy.deepcopy(original)):
        assert clone == original and clone is not original
    assert repr(pickle.loads(pickle.dumps(original))) == repr(original)
    if isinstance(original, mv.CharucoBoard):
        assert pickle.loads(pickle.dumps(original)).chessboard_corners == original.chessboard_corners
    with pytest.raises(TypeError, match="unhashable"):
        hash(original)


def test_equality_is_exact_and_repr_names_what_differs():
    assert mv.DetectorParameters() == mv.DetectorParameters()
    assert repr(mv.DetectorParameters()) == "DetectorParameters()"
    p = odd_parameters()
    assert p == odd_parameters()  # NaN settings still compare equal to themselves
    assert repr(p) == ("DetectorParameters(adaptive_thresh_constant=nan, error_correction_rate=0.30000000000000004, "
                       "detect_inverted_marker=True, min_side_length_canonical_img=0, corner_refinement_method=3, "
                       "april_tag_quad_sigma=-0.0)")
    q = odd_parameters()
    q.april_tag_quad_sigma = 0.0  # -0.0 and 0.0 are different settings
    assert p != q and p != mv.DetectorParameters() and (p == "p") is False
    a, b = BOARDS[0](), BOARDS[1]()
    assert a == mv.CharucoBoard(7, 5, np.float32(0.04), 0.03, "DICT_5X5_100") and a != b
    assert repr(a) == "CharucoBoard(7, 5, 0.04, 0.03, 'DICT_5X5_100')"
    assert repr(b) == "CharucoBoard(4, 4, 0.1, 0.07, 'DICT_4X4_50', ids=[9, 8, 7, 6, 5, 4, 3, 2], legacy_pattern=True)"
    assert eval(repr(b), {"CharucoBoard": mv.CharucoBoard}) == b


def test_foreign_or_damaged_states_are_refused():
    p, b = odd_parameters(), BOARDS[0]()
    version, settings = p.__getstate__()
    other = "x" * len(version)  # same length, so the pickle stays well formed
    with pytest.raises(ValueError, match=f"pickled by markvane {other} into markvane {version}; recreate it"):
        pickle.loads(pickle.dumps(p).replace(version.encode(), other.encode()))
    with pytest.raises(ValueError, match="pickled by markvane 0.0.0-other"):
        mv.CharucoBoard.__new__(mv.CharucoBoard).__setstate__(("0.0.0-other", b.__getstate__()[1]))
    with pytest.raises(ValueError, match="not a pickled CharucoBoard state"):
        fresh = mv.CharucoBoard.__new__(mv.CharucoBoard)
        fresh.__setstate__(("only one",))
    # A state is applied through the usual checks.
    fresh = mv.DetectorParameters.__new__(mv.DetectorParameters)
    with pytest.raises(ValueError, match="corner_refinement_method must be 0, 1, 2, or 3"):
        fresh.__setstate__((version, dict(settings, corner_refinement_method=9)))
    fresh = mv.CharucoBoard.__new__(mv.CharucoBoard)
    _, args = b.__getstate__()
    with pytest.raises(ValueError, match="unknown dictionary"):
        fresh.__setstate__((version, args[:4] + ("DICT_NOPE",) + args[5:]))


def test_objects_arrive_equal_in_another_process():
    p, b = odd_parameters(), BOARDS[1]()
    script = ("import pickle, sys, markvane as mv; p, b = pickle.loads(sys.stdin.buffer.read()); "
              "image = mv.__name__; sys.stdout.write(repr(p) + '|' + repr(b) + '|' + str(len(b.chessboard_corners)))")
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps((p, b)), capture_output=True, check=True)
    assert out.stdout.decode() == f"{p!r}|{b!r}|{len(b.chessboard_corners)}"
