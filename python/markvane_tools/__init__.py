"""Pure-Python extras for markvane.

- `markvane_tools.scenes`: synthetic marker scenes with exact ground-truth
  corners, and scoring of detections against that truth.
- `markvane_tools.demo`: a short end-to-end demonstration
  (`python -m markvane_tools.demo` or the `markvane-demo` command).

Nothing here is needed by the `markvane` extension module itself; only NumPy
is required, OpenCV is used when present.
"""
