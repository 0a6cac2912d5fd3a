"""Pure-Python extras for markvane.

- `markvane_tools.scenes`: synthetic marker scenes with exact ground-truth
  corners, frames without markers, and scoring of detections against the truth.
- `markvane_tools.charuco_boards`: rendered ChArUco boards under a 3-D pose
  with exact chessboard-corner truth (needs OpenCV to draw the board).
- `markvane_tools.chessboards`: rendered chessboards with exact inner-corner
  truth, and the finder's corner order.
- `markvane_tools.targets`: markers, grid boards and ChArUco boards to print,
  as pixel-exact images or as SVG at true size with a caption (NumPy only; the
  marker codes ship with the package).
- `markvane_tools.draw`: detections, ChArUco and chessboard corners and pose
  axes drawn onto a BGR copy of an image (no OpenCV needed).
- `markvane_tools.demo`: a short end-to-end demonstration
  (`python -m markvane_tools.demo` or the `markvane-demo` command).
- `markvane_tools.cli`: the `markvane` command (also `python -m
  markvane_tools.cli`), which needs `pip install 'markvane[cli]'`:
  `markvane detect PATH...` reads images, folders (`--recursive` for their
  subfolders), glob patterns and videos and prints one JSON Lines record per
  image or frame (path, frame, width, height, ids, corners as
  `detect_markers` returns them) or, with `--format csv`, one row per marker;
  `--annotate DIR` saves the images with their markers drawn. Unreadable
  files are named on stderr and skipped (exit status 1). `markvane generate
  marker|gridboard|charuco OUT` writes targets as PNG (sizes in pixels) or
  SVG (millimetres); `markvane demo` runs the demonstration.

Nothing here is needed by the `markvane` extension module itself; only NumPy
is required, OpenCV is used when present.
"""
