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

Nothing here is needed by the `markvane` extension module itself; only NumPy
is required, OpenCV is used when present.
"""
