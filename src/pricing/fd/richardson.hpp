// Richardson extrapolation of a result of a second-order scheme from two
// grids, the fine one with every step halved: the error c h^2 + O(h^4) of
// each cancels in (4 fine - coarse) / 3.
#pragma once

namespace varnelle::fd {

[[gnu::always_inline]] inline double richardson(double coarse, double fine) { return fine + (fine - coarse) / 3.0; }

}  // namespace varnelle::fd
